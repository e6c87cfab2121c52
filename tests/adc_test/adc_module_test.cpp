// The adc module on its own: the decimal conversion it applies to raw values
// (and adc_test to its argument), and adc_init's writes for record contents
// the program never uses, through adc_init_probe on the virtual board.

#include "adc.hpp"
#include "board.hpp"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

namespace {

using namespace vboard;

struct Conversion {
    const char* name;
    std::string_view text;
    std::int32_t value;
};

void PrintTo(const Conversion& c, std::ostream* os) { *os << c.name; }

class DecimalValue : public testing::TestWithParam<Conversion> {};

TEST_P(DecimalValue, ReadsAsAtoiWithinTheTextAndRange)
{
    EXPECT_EQ(decimal_value(GetParam().text), GetParam().value);
}

using namespace std::string_view_literals;

INSTANTIATE_TEST_SUITE_P(
    Adc, DecimalValue,
    testing::Values(
        Conversion{"sysfs_value_with_newline", "2048\n", 2048},
        Conversion{"zero", "0\n", 0},
        Conversion{"negative", "-1\n", -1},
        Conversion{"plus_sign", "+17", 17},
        Conversion{"leading_white_space", " \t\n\v\f\r42", 42},
        Conversion{"stops_at_the_first_other_character", "12x34", 12},
        Conversion{"leading_zeros", "0007", 7},
        Conversion{"empty", "", 0},
        Conversion{"not_a_number", "abc", 0},
        Conversion{"sign_alone", "-", 0},
        Conversion{"sign_then_blank", "- 5", 0},
        Conversion{"two_signs", "+-5", 0},
        Conversion{"largest", "2147483647", 2147483647},
        Conversion{"smallest", "-2147483648", -2147483647 - 1},
        Conversion{"one_past_largest_saturates", "2147483648", 2147483647},
        Conversion{"one_past_smallest_saturates", "-2147483649", -2147483647 - 1},
        Conversion{"ten_nines_saturate", "9999999999", 2147483647},
        Conversion{"far_too_many_digits_saturate", "184467440737095516161844674407370955161", 2147483647},
        Conversion{"far_too_many_negative_digits_saturate", "-99999999999999999999999", -2147483647 - 1},
        Conversion{"stops_at_an_embedded_nul", "12\0" "34"sv, 12},
        // Only what the view covers is read: the digits after it are not.
        Conversion{"ends_with_the_view", std::string_view("123456", 3), 123}),
    [](const testing::TestParamInfo<Conversion>& param) { return std::string(param.param.name); });

// adc_init: the buffer state as a flag and its NUL, then the length's
// decimal text cut to three characters, without a NUL.
struct InitCase {
    const char* name;
    const char* enable;
    const char* length;
    std::string enable_bytes;
    std::string length_bytes;
};

void PrintTo(const InitCase& c, std::ostream* os) { *os << c.name; }

class AdcInit : public testing::TestWithParam<InitCase> {};

TEST_P(AdcInit, WritesStateThenLength)
{
    const auto& c = GetParam();
    Board board;
    RunOptions options;
    options.argv = {ADC_INIT_PROBE_PATH, c.enable, c.length};
    options.timeout = std::chrono::seconds(20);
    const auto r = board.run(options);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    // adc_init returns 0, and leaves the length's text in the scratch area.
    EXPECT_EQ(r.out, "0 " + c.length_bytes + "\n");

    const auto writes = all_of<SysfsAccess>(r.events);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].attr, "buffer/enable");
    EXPECT_EQ(writes[0].op, SysfsAccess::Op::write);
    EXPECT_EQ(writes[0].bytes, c.enable_bytes);
    EXPECT_EQ(writes[1].attr, "buffer/length");
    EXPECT_EQ(writes[1].op, SysfsAccess::Op::write);
    EXPECT_EQ(writes[1].bytes, c.length_bytes);
}

const std::string off("0\0", 2);
const std::string on("1\0", 2);

INSTANTIATE_TEST_SUITE_P(Adc, AdcInit,
                         testing::Values(InitCase{"length_100", "0", "100", off, "100"},
                                         InitCase{"length_5", "1", "5", on, "5"},
                                         InitCase{"length_minus_12", "0", "-12", off, "-12"},
                                         InitCase{"length_1000_cut", "0", "1000", off, "100"},
                                         InitCase{"length_minus_123_cut", "0", "-123", off, "-12"},
                                         InitCase{"any_nonzero_enable_is_on", "-7", "100", on, "100"}),
                         [](const testing::TestParamInfo<InitCase>& param) { return std::string(param.param.name); });

} // namespace
