#pragma once

// The kernel's names of the ioctl requests the board's nodes answer, for
// fault descriptions and for the record.

#include <array>
#include <cstdio>
#include <linux/i2c-dev.h>
#include <linux/spi/spidev.h>
#include <optional>
#include <string>
#include <string_view>

namespace vboard {

struct IoctlName {
    std::string_view name;
    unsigned long number;
};

inline constexpr std::array<IoctlName, 19> ioctl_names{{
    {"SPI_IOC_RD_MODE", SPI_IOC_RD_MODE},
    {"SPI_IOC_WR_MODE", SPI_IOC_WR_MODE},
    {"SPI_IOC_RD_MODE32", SPI_IOC_RD_MODE32},
    {"SPI_IOC_WR_MODE32", SPI_IOC_WR_MODE32},
    {"SPI_IOC_RD_LSB_FIRST", SPI_IOC_RD_LSB_FIRST},
    {"SPI_IOC_WR_LSB_FIRST", SPI_IOC_WR_LSB_FIRST},
    {"SPI_IOC_RD_BITS_PER_WORD", SPI_IOC_RD_BITS_PER_WORD},
    {"SPI_IOC_WR_BITS_PER_WORD", SPI_IOC_WR_BITS_PER_WORD},
    {"SPI_IOC_RD_MAX_SPEED_HZ", SPI_IOC_RD_MAX_SPEED_HZ},
    {"SPI_IOC_WR_MAX_SPEED_HZ", SPI_IOC_WR_MAX_SPEED_HZ},
    {"I2C_SLAVE", I2C_SLAVE},
    {"I2C_SLAVE_FORCE", I2C_SLAVE_FORCE},
    {"I2C_FUNCS", I2C_FUNCS},
    {"I2C_RDWR", I2C_RDWR},
    {"I2C_SMBUS", I2C_SMBUS},
    {"I2C_TENBIT", I2C_TENBIT},
    {"I2C_PEC", I2C_PEC},
    {"I2C_TIMEOUT", I2C_TIMEOUT},
    {"I2C_RETRIES", I2C_RETRIES},
}};

// SPI_IOC_MESSAGE(n) encodes the size of n transfer records in the request
// number, so one name stands for every n.
inline constexpr std::string_view spi_message_name = "SPI_IOC_MESSAGE";

inline bool is_spi_message(unsigned long request)
{
    return _IOC_TYPE(request) == SPI_IOC_MAGIC && _IOC_NR(request) == 0 && _IOC_DIR(request) == _IOC_WRITE;
}

inline std::string ioctl_name(unsigned long request)
{
    if (is_spi_message(request)) {
        return "SPI_IOC_MESSAGE(" + std::to_string(_IOC_SIZE(request) / sizeof(spi_ioc_transfer)) + ")";
    }
    for (const auto& entry : ioctl_names) {
        if (entry.number == request) {
            return std::string(entry.name);
        }
    }
    char hex[24];
    std::snprintf(hex, sizeof hex, "0x%lx", request);
    return hex;
}

} // namespace vboard
