// The fault report and the number formatter shared by every message.
#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "kelvane/fault.hpp"
#include "kelvane/format.hpp"

namespace kelvane {
namespace {

TEST(Fault, ReportNamesThreadLocationAndMessageThenThrows) {
    testing::internal::CaptureStderr();
    const int line = __LINE__ + 2;
    try {
        fault("the thing broke at 3");
        FAIL() << "fault returned";
    } catch (const Fault& f) {
        EXPECT_STREQ(f.what(), "the thing broke at 3");
        EXPECT_EQ(f.where().line(), static_cast<std::uint_least32_t>(line));
    }
    const std::string report = testing::internal::GetCapturedStderr();
    EXPECT_NE(report.find("thread '"), std::string::npos) << report;
    EXPECT_NE(report.find("test_fault_format.cpp:" + std::to_string(line) + ":"), std::string::npos)
        << report;
    EXPECT_NE(report.find("the thing broke at 3"), std::string::npos) << report;
}

TEST(Fault, EqualityAssertionShowsBothValuesButCarriesTheMessage) {
    testing::internal::CaptureStderr();
    EXPECT_THROW(fault_unless_equal(4u, 5u, "lengths differ"), Fault);
    const std::string report = testing::internal::GetCapturedStderr();
    EXPECT_NE(report.find("left: 4"), std::string::npos) << report;
    EXPECT_NE(report.find("right: 5"), std::string::npos) << report;
    EXPECT_NO_THROW(fault_unless_equal(5u, 5u, "never shown"));
}

TEST(Format, FillsPlaceholdersInOrder) {
    EXPECT_EQ(format("subfault ({},{}) is outside the {}x{} grid", 4, 1, std::size_t{3}, 2u),
              "subfault (4,1) is outside the 3x2 grid");
    EXPECT_EQ(format("{} = {} km", "dt", 2.5f), "dt = 2.5 km");
    EXPECT_EQ(format("no placeholders"), "no placeholders");
    EXPECT_EQ(format("{} and {}", -7), "-7 and {}");
}

struct FloatCase {
    float value;
    const char* text;
};

TEST(Format, ShortestPositionalFloats) {
    const FloatCase cases[] = {
        {2.0f, "2"},
        {2.5f, "2.5"},
        {0.1f, "0.1"},
        {1e-7f, "0.0000001"},
        {-0.0f, "-0"},
        {0.0f, "0"},
        {0.48000002f, "0.48000002"},
        {16777217.0f, "16777216"},
        {1e10f, "10000000000"},
        {9.999999e-5f, "0.00009999999"},
        {1e-4f, "0.0001"},
        {std::numeric_limits<float>::max(), "340282350000000000000000000000000000000"},
        {std::numeric_limits<float>::quiet_NaN(), "NaN"},
        {-std::numeric_limits<float>::quiet_NaN(), "NaN"},
        {std::numeric_limits<float>::infinity(), "inf"},
        {-std::numeric_limits<float>::infinity(), "-inf"},
    };
    for (const FloatCase& c : cases) EXPECT_EQ(format_number(c.value), c.text) << c.text;

    // The smallest subnormal, negated: "-0." then 44 zeros then "1".
    EXPECT_EQ(format_number(-std::numeric_limits<float>::denorm_min()),
              "-0." + std::string(44, '0') + "1");
    // The smallest normal float reads back exactly.
    const std::string smallest = format_number(FLT_MIN);
    EXPECT_EQ(std::stof(smallest), FLT_MIN);
    EXPECT_EQ(smallest.find('e'), std::string::npos);
}

TEST(Format, ShortestPositionalDoubles) {
    EXPECT_EQ(format_number(3.5), "3.5");
    EXPECT_EQ(format_number(4.0), "4");
    EXPECT_EQ(format_number(1e-7), "0.0000001");
    EXPECT_EQ(format_number(0.1), "0.1");
    EXPECT_EQ(format_number(1e23), "100000000000000000000000");
    EXPECT_EQ(format_number(1.7976931348623157e308).substr(0, 18), "179769313486231570");
    EXPECT_EQ(format_number(std::nan("")), "NaN");
    EXPECT_EQ(format_number(-HUGE_VAL), "-inf");
    const std::string largest = format_number(std::numeric_limits<double>::max());
    EXPECT_EQ(largest.size(), 309u);
    EXPECT_EQ(largest.substr(0, 17), "17976931348623157");
    const std::string tiny = format_number(std::numeric_limits<double>::denorm_min());
    EXPECT_EQ(tiny, "0." + std::string(323, '0') + "5");
    // Every double that prints reads back as itself.
    for (const double v : {0.30000000000000004, 1.0 / 3.0, 123456.789, 2.2250738585072014e-308}) {
        EXPECT_EQ(std::stod(format_number(v)), v) << format_number(v);
    }
}

}  // namespace
}  // namespace kelvane
