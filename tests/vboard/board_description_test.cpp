// The libmraa board description of the virtual board: libmraa finds every
// key it looks up in it, so the libmraa programs start without a complaint
// in the system log (a missing key is logged at the error level).

#include "board.hpp"
#include "program_build.hpp"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <syslog.h>

namespace {

using namespace vboard;

struct Program {
    const char* name;
    const char* path;
    double seconds; // long enough to get past libmraa's start-up
};

void PrintTo(const Program& program, std::ostream* out)
{
    *out << program.name;
}

class BoardDescription : public testing::TestWithParam<Program> {};

TEST_P(BoardDescription, LibmraaStartsWithoutComplaint)
{
    RunOptions options;
    options.argv = {program(GetParam().path, GetParam().name)};
    options.stop_at = GetParam().seconds;
    Board board;
    const auto r = board.run(options);

    const auto logs = all_of<LogLine>(r.events);
    ASSERT_FALSE(logs.empty()) << "libmraa logs its start-up";
    for (const auto& log : logs) {
        EXPECT_GT(LOG_PRI(log.priority), LOG_ERR) << log.text;
        EXPECT_EQ(log.text.find("found"), std::string::npos) << log.text;
    }
}

INSTANTIATE_TEST_SUITE_P(, BoardDescription,
                         testing::Values(Program{"i2c_lcd", I2C_LCD_PATH, 1}, Program{"pwm_led_mraa", PWM_LED_MRAA_PATH, 0.2},
                                         Program{"ky013", KY013_PATH, 0.5}, Program{"spi_mraa", SPI_MRAA_PATH, 1}),
                         [](const testing::TestParamInfo<Program>& program) { return std::string(program.param.name); });

} // namespace
