#pragma once

// Driver of an HD44780 character LCD behind a PCF8574 I2C port expander (the
// usual backpack soldered to the display), in the controller's 4-bit mode.
//
// Expander port bit -> LCD line:
//   7..4  D7..D4 (the nibble being transferred; D3..D0 are not wired)
//   3     backlight transistor (kept on)
//   2     EN, the enable strobe: the controller latches on its falling edge
//   1     R/W (kept low: the driver only writes)
//   0     RS: low for an instruction, high for a character
//
// Call lcd_init once, then any mix of the other operations. A write the
// display does not take ends the process with status 1.

#include <mraa/i2c.h>

#include <cstdint>

// The bus connection every write goes through: null until i2c_init succeeds.
// It stays open for the life of the process.
extern mraa_i2c_context i2c;
// The result of the latest address selection or write (MRAA_SUCCESS or not).
extern mraa_result_t status;

// Opens I2C bus 0 and selects the expander. 0 on success, 1 on failure (a
// bus that cannot be opened is reported on standard error).
int i2c_init();

// One I2C write of `length` bytes; returns only if the device took it.
void lcd_write_i2c(mraa_i2c_context dev, const std::uint8_t* data, int length);

void lcd_send_cmd(std::uint8_t cmd);
void lcd_send_data(std::uint8_t data);

// Row start instruction, then one cursor shift right per column. A row
// outside 0..3 leaves the cursor's row as it was; a column of 0 or less
// shifts nothing.
void setCursor(int col, int row);

// Each byte of a NUL-terminated string as a character, with no check of the
// line length.
void lcd_send_string(const char* str);

// Opens the bus and runs the power-on initialisation. 0 on success; 1 when the
// bus could not be set up, in which case nothing was sent.
int lcd_init();

// Clears the display and waits for the controller to finish.
void lcd_clear();
