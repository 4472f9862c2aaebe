#include "support/text_format.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace kelvara {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct FormatCase {
  const char* name;
  double x;
  std::string plain, exponent, debug, param;
};

class NumberFormats : public ::testing::TestWithParam<FormatCase> {};

TEST_P(NumberFormats, EveryFormAgrees) {
  const FormatCase& c = GetParam();
  EXPECT_EQ(format_plain(c.x), c.plain);
  EXPECT_EQ(format_exponent(c.x), c.exponent);
  EXPECT_EQ(format_debug(c.x), c.debug);
  EXPECT_EQ(format_param_value(c.x), c.param);
}

const std::string k1e300 = "1" + std::string(300, '0');

INSTANTIATE_TEST_SUITE_P(
    Values, NumberFormats,
    ::testing::Values(
        FormatCase{"Micro", 1e-6, "0.000001", "1e-6", "1e-6", "1e-6"},
        // 1e-4 is the first magnitude the debug and parameter forms keep plain.
        FormatCase{"TenThousandth", 0.0001, "0.0001", "1e-4", "0.0001", "0.0001"},
        FormatCase{"JustBelowTenThousandth", 9.99e-5, "0.0000999", "9.99e-5", "9.99e-5", "9.99e-5"},
        FormatCase{"Million", 1e6, "1000000", "1e6", "1000000.0", "1e6"},
        FormatCase{"JustBelowMillion", 999999.0, "999999", "9.99999e5", "999999.0", "999999"},
        FormatCase{"TwoE16", 2e16, "20000000000000000", "2e16", "2e16", "2e16"},
        FormatCase{"JustBelowE16", 9999999999999998.0, "9999999999999998", "9.999999999999998e15",
                   "9999999999999998.0", "9.999999999999998e15"},
        FormatCase{"Zero", 0.0, "0", "0e0", "0.0", "0"},
        FormatCase{"NegativeZero", -0.0, "-0", "-0e0", "-0.0", "-0"},
        FormatCase{"Negative", -12345678.0, "-12345678", "-1.2345678e7", "-12345678.0",
                   "-1.2345678e7"},
        FormatCase{"NaN", kNaN, "NaN", "NaN", "NaN", "NaN"},
        FormatCase{"Inf", kInf, "inf", "inf", "inf", "inf"},
        FormatCase{"Huge", 1e300, k1e300, "1e300", "1e300", "1e300"},
        FormatCase{"Tiny", 5e-324, "0." + std::string(323, '0') + "5", "5e-324", "5e-324",
                   "5e-324"},
        FormatCase{"ShortestRoundTrip", 0.1 + 0.2, "0.30000000000000004", "3.0000000000000004e-1",
                   "0.30000000000000004", "0.30000000000000004"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(FixedExponentFormat, RoundsToTheRequestedDigits) {
  // Zero and NaN are pinned by the FitResult repr tests in Python.
  EXPECT_EQ(format_exponent_fixed(0.0012345678, 6), "1.234568e-3");
  EXPECT_EQ(format_exponent_fixed(-2.5e12, 6), "-2.500000e12");
  EXPECT_EQ(format_exponent_fixed(9.9999999e-4, 6), "1.000000e-3");
  EXPECT_EQ(format_exponent_fixed(kInf, 6), "inf");
  EXPECT_EQ(format_exponent_fixed(-kInf, 6), "-inf");
}

TEST(DebugQuote, EscapesQuotesBackslashesAndControlsButNotUtf8) {
  EXPECT_EQ(debug_quote("a\"b\\c\xC2\xB5"), "\"a\\\"b\\\\c\xC2\xB5\"");
  // A path or key with DEL or another control byte must not reach a terminal raw.
  EXPECT_EQ(debug_quote("x\x7f\x01\n"), "\"x\\u{7f}\\u{1}\\n\"");
}

}  // namespace
}  // namespace kelvara
