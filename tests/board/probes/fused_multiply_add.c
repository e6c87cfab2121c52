/* Built with -ffp-contract=fast, so that GCC fuses the multiply and the add
 * into one vfma instruction: the checks must refuse it, and it must die with
 * SIGILL on a modelled Cortex-A9, which has no fused multiply-add. */
#include <stdio.h>

int main(void)
{
    volatile double a = 1.5;
    volatile double b = 2.25;
    volatile double c = 0.5;
    double x = a;
    double y = b;
    double z = c;
    printf("%f\n", x * y + z);
    return 0;
}
