// i2c_lcd: shows a start-up banner on the I2C character LCD for two seconds,
// clears it, then shows the welcome text, rewriting it once a second until
// the process is killed. A display that cannot be set up or written to ends
// the program with status 1.

#include "LiquidCrystal_PCF8574.hpp"

#include <cstdlib>

#include <unistd.h>

namespace {

void show(const char* row0, const char* row1)
{
    setCursor(0, 0);
    lcd_send_string(row0);
    setCursor(0, 1);
    lcd_send_string(row1);
}

} // namespace

int main()
{
    if (lcd_init() != 0) {
        return EXIT_FAILURE;
    }
    show("Prog for I2C on", "STM32F411RE");
    usleep(2000000);
    lcd_clear();
    // The same cells get the same characters on every pass; nothing is
    // cleared in between, so the text does not flicker.
    for (;;) {
        show("WELCOME ALL TO", "TALVOR INDIA");
        usleep(1000000);
    }
}
