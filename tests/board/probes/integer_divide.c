/* Built for a Cortex-A7, which has an integer divide instruction: the checks
 * must refuse it (a Cortex-A5 has none), and it must die with SIGILL on a
 * modelled Cortex-A9. */
#include <stdio.h>

int main(void)
{
    volatile int dividend = 100;
    volatile int divisor = 7;
    int n = dividend;
    int d = divisor;
    printf("%d\n", n / d);
    return 0;
}
