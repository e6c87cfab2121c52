# The libmraa SPI exchange: with MOSI looped to MISO, then with a device
# that answers "OK" and a NUL.
section "spi_mraa: one 19-byte SPI transfer through libmraa"
vboard_show spi_mraa
vboard_show --spi reply=4f4b00 spi_mraa
