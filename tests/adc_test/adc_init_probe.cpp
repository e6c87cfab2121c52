// adc_init_probe ENABLE LENGTH: one adc_init with the record's enable and
// length fields set from the arguments; prints what adc_init returned and
// what it left in the scratch text.

#include "adc.hpp"

#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[])
{
    if (argc != 3) {
        std::fputs("usage: adc_init_probe ENABLE LENGTH\n", stderr);
        return 2;
    }
    adc_device adc{};
    adc.mode = "oneshot";
    adc.enable = decimal_value(argv[1]);
    adc.length = decimal_value(argv[2]);
    const std::int32_t result = adc_init(&adc);
    std::printf("%d %s\n", result, adc.scratch.data());
    return 0;
}
