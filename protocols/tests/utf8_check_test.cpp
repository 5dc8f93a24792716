#include "protocols/utf8_check.hpp"

#include <gtest/gtest.h>

#include <string>

namespace protocols {
namespace {

struct Case {
    const char* name;
    std::string bytes;
    std::size_t offset;  // of the fault, or npos for valid text
    const char* reason;
};

constexpr std::size_t kValid = std::string::npos;

class Utf8Check : public testing::TestWithParam<Case> {};

TEST_P(Utf8Check, FindsTheFirstFault) {
    const Case& c = GetParam();
    const auto fault = find_utf8_fault(c.bytes);
    if (c.offset == kValid) {
        EXPECT_FALSE(fault.has_value());
        return;
    }
    ASSERT_TRUE(fault.has_value());
    EXPECT_EQ(fault->offset, c.offset);
    EXPECT_EQ(fault->reason, c.reason);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, Utf8Check,
    testing::Values(
        Case{"empty", "", kValid, ""}, Case{"ascii", "Default", kValid, ""},
        Case{"every_length", "A\xc3\xa9\xe2\x80\xae\xf0\x9f\x98\x80", kValid, ""},
        Case{"edges", "\xc2\x80\xdf\xbf\xe0\xa0\x80\xed\x9f\xbf\xee\x80\x80\xf0\x90\x80\x80\xf4\x8f\xbf\xbf", kValid, ""},
        Case{"lone_continuation", "a\x80", 1, "invalid start byte"},
        Case{"overlong_two", "\xc0\xaf", 0, "invalid start byte"},
        Case{"c1_lead", "\xc1\xbf", 0, "invalid start byte"},
        Case{"above_f4", "ab\xf5\x80\x80\x80", 2, "invalid start byte"},
        Case{"ff", "\xff", 0, "invalid start byte"},
        Case{"overlong_three", "\xe0\x9f\xbf", 0, "invalid continuation byte"},
        Case{"surrogate", "\xed\xa0\x80", 0, "invalid continuation byte"},
        Case{"overlong_four", "\xf0\x8f\xbf\xbf", 0, "invalid continuation byte"},
        Case{"above_10ffff", "\xf4\x90\x80\x80", 0, "invalid continuation byte"},
        Case{"bad_third", "x\xe2\x82\x41", 1, "invalid continuation byte"},
        Case{"bad_fourth", "\xf0\x9f\x98\xc0", 0, "invalid continuation byte"},
        // A bad byte that is there wins over a missing one after it.
        Case{"cut_after_bad_second", "\xed\xa0", 0, "invalid continuation byte"},
        Case{"cut_two", "A\xc3", 1, "unexpected end of data"},
        Case{"cut_three", "\xe2\x82", 0, "unexpected end of data"},
        Case{"cut_four", "ok\xf0\x9f\x98", 2, "unexpected end of data"}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace protocols
