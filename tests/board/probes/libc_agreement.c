/* Prints what the C library computes for ky013's conversion: for every
 * reading 0..1023, the natural logarithm of the thermistor resistance (exact
 * bits, %a) and that value through printf's %.2f and %f. Built against musl
 * and against glibc armhf, the two outputs must be equal: the board checks
 * run ky013 against glibc armhf (whose libmraa reads JSON board
 * descriptions), and this shows that musl would print the same. */
#include <math.h>
#include <stdio.h>

int main(void)
{
    for (int reading = 0; reading < 1024; ++reading) {
        float x = (float) reading;
        double q = 1023.0 / (double) x - 1.0;
        float resistance = (float) ((double) 10000.0f * q);
        double l = log((double) resistance);
        printf("%d %a %.2f %f\n", reading, l, l - 232.15, l / 4095.0);
    }
    return 0;
}
