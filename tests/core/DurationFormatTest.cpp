#include "core/DurationFormat.h"

#include <gtest/gtest.h>

namespace qvm {
namespace {

struct Case {
    std::uint32_t code;
    double value;
    const char* expected;
};

TEST(FormatSeconds, EveryCode) {
    // 90061.25 s = 1 day, 1 h, 1 min, 1 s, 250 ms.
    const Case cases[] = {
        {0, 3725.0, "01:02:05"},
        {0, 90061.0, "1 01:01:01"},
        {0, 4.9999, "00:00:05"},  // shown as 5, not 4
        {0, -5.0, "-00:00:05"},
        {1, 90061.25, "25:01:01"},
        {2, 90061.25, "25:01"},
        {3, 90061.25, "1501:01"},
        {4, 90061.25, "25:01:01.2"},
        {5, 90061.25, "1 01:01:01"},
        {5, 61.0, "0 00:01:01"},
        {6, 125.36, "02:05.3"},
        {6, -4.3, "-00:04.3"},
        {7, 90061.25, "90061"},
        {7, 5.0, "05"},
        {8, 90061.25, "25:01:01.250"},
        {9, 90061.25, "01:01.250"},
        {12, 1.0, "!FORMAT!"},
        {12, -1.0, "-!FORMAT!"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FormatSeconds(c.code, c.value).toStdString(), c.expected)
            << "code " << c.code << ", " << c.value << " s";
    }
}

TEST(FormatDays, EveryCode) {
    const double d = 1.0 + 3661250.0 / 86400000.0;  // 1 day 01:01:01.250
    const Case cases[] = {
        {0, -0.5, "00:00:00"},
        {0, 0.5, "12:00:00"},
        {0, d, "1 01:01:01"},
        {1, 1.5, "36:00:00"},
        {2, d, "25:01"},
        {3, d, "1501:01"},
        {4, d, "25:01:01.2"},
        {5, 0.25, "0 06:00:00"},
        {6, d, "1501:01.2"},
        {7, 1.5, "43200"},
        {7, 1.0 / 86400.0, "    1"},  // right-aligned in five columns, days not counted
        {8, d, "25:01:01.250"},
        {9, d, "01:01.250"},
        {10, 1.0, "!FORMAT!"},
        // A fraction that rounds to midnight carries into the day count.
        {1, 0.99999999999, "24:00:00"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FormatDays(c.code, c.value).toStdString(), c.expected)
            << "code " << c.code << ", " << c.value << " days";
    }
}

TEST(FormatDuration, AbsurdInputsStayText) {
    for (const double v : {1e300, -1e300, std::numeric_limits<double>::quiet_NaN(),
                           std::numeric_limits<double>::infinity()}) {
        for (std::uint32_t code = 0; code <= 9; ++code) {
            EXPECT_FALSE(FormatSeconds(code, v).isEmpty());
            EXPECT_FALSE(FormatDays(code, v).isEmpty());
        }
    }
}

}  // namespace
}  // namespace qvm
