# The display program: the banner, the cleared screen, then the welcome text,
# each drawn as the LCD shows it, for 4 virtual seconds of its endless loop,
# at twice the pace of a real board (two virtual seconds per real one).
section "i2c_lcd: banner and welcome text on the I2C character LCD"
vboard_show --speed 2 --for 4 i2c_lcd
