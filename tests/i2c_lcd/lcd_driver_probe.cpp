// lcd_driver_probe STEP...: calls the display driver's operations in the
// order its arguments name them, so that the tests can see on the virtual
// board what each operation puts on the bus.
//
//   open            i2c_init (the bus and the address, no frame); exits 1 if it fails
//   init            lcd_init; exits 1 if it fails
//   cmd BYTE        lcd_send_cmd        data BYTE     lcd_send_data
//   cursor COL ROW  setCursor           string TEXT   lcd_send_string
//   clear           lcd_clear
// BYTE, COL and ROW are C integers (0xA5, -1).

#include "LiquidCrystal_PCF8574.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

[[noreturn]] void usage(const char* why)
{
    std::fprintf(stderr, "lcd_driver_probe: %s\n", why);
    std::exit(2);
}

long number(const char* text)
{
    char* end = nullptr;
    const long value = std::strtol(text, &end, 0);
    if (*text == '\0' || *end != '\0') {
        usage("not a number");
    }
    return value;
}

std::uint8_t byte(const char* text)
{
    return static_cast<std::uint8_t>(number(text));
}

} // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const char* step = argv[i];
        const auto argument = [&]() -> const char* {
            if (i + 1 >= argc) {
                usage("missing argument");
            }
            return argv[++i];
        };
        if (std::strcmp(step, "open") == 0) {
            if (i2c_init() != 0) {
                return 1;
            }
        } else if (std::strcmp(step, "init") == 0) {
            if (lcd_init() != 0) {
                return 1;
            }
        } else if (std::strcmp(step, "cmd") == 0) {
            lcd_send_cmd(byte(argument()));
        } else if (std::strcmp(step, "data") == 0) {
            lcd_send_data(byte(argument()));
        } else if (std::strcmp(step, "cursor") == 0) {
            const auto col = static_cast<int>(number(argument()));
            setCursor(col, static_cast<int>(number(argument())));
        } else if (std::strcmp(step, "string") == 0) {
            lcd_send_string(argument());
        } else if (std::strcmp(step, "clear") == 0) {
            lcd_clear();
        } else {
            usage("unknown step");
        }
    }
    return 0;
}
