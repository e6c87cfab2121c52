# spi_ioctl on SPI bus 3 with MOSI wired to MISO: the 32 counting bytes come
# back; then with nothing wired, and with the transfer failing.
section "spi_ioctl: one 32-byte full-duplex transfer through spidev"
vboard_show spi_ioctl
vboard_show --spi silent spi_ioctl
vboard_show --fault ioctl=spidev3.0:SPI_IOC_MESSAGE:EIO spi_ioctl
