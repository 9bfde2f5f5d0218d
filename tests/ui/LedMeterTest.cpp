#include "ui/LedMeter.h"

#include <gtest/gtest.h>

#include <QTest>
#include <cmath>

namespace qvm {
namespace {

// The main window's meter size.
struct Meter {
    TLedMetter led;
    Meter() {
        led.resize(351, 26);
        led.DrawScale();
    }

    // Colour in the middle of segment k of a bar (0 upper, 1 lower).
    QColor segment(int bar, int k) const {
        const int range = led.Range();
        const double u = 351.0 / (range + 1);
        const int x = static_cast<int>(std::nearbyint((k + range + 0.5) * u));
        const int mid = 26 / 2 - 6;
        const int y = bar == 0 ? 1 + mid / 2 : mid + 12 + mid / 2;
        return led.Picture().pixelColor(x, y);
    }
    // Whether the scale band shows any lime text between two x positions.
    bool limeTextBetween(int x0, int x1) const {
        const int mid = 26 / 2 - 6;
        for (int x = x0; x < x1; ++x) {
            for (int y = mid + 1; y < mid + 11; ++y) {
                const QColor c = led.Picture().pixelColor(x, y);
                if (c.green() > 100 && c.red() < 100) {
                    return true;
                }
            }
        }
        return false;
    }
};

TEST(LedMeter, RangesAndTheirClamps) {
    Meter m;
    EXPECT_EQ(m.led.Range(), 24);
    EXPECT_FALSE(m.limeTextBetween(100, 125)) << "no -41 label in the 24 dB range";
    m.led.SetStatus(2);
    EXPECT_EQ(m.led.Range(), 60);
    EXPECT_TRUE(m.limeTextBetween(100, 125)) << "the -41 label of the 60 dB range";

    struct Case {
        int maxStatus, status;
        int expectedMax, expectedStatus;
    };
    const Case cases[] = {{9, 0, 5, 0}, {0, 0, 1, 0}, {3, 7, 3, 2}, {5, 4, 5, 4}};
    for (const Case& c : cases) {
        TLedMetter led;
        led.SetMaxStatus(c.maxStatus);
        led.SetStatus(c.status);
        EXPECT_EQ(led.MaxStatus(), c.expectedMax);
        EXPECT_EQ(led.Status(), c.expectedStatus);
    }
    TLedMetter led;
    led.SetMaxStatus(5);
    led.SetStatus(4);
    led.SetMaxStatus(2);
    EXPECT_EQ(led.Status(), 1) << "a lower maximum pulls the range down";
}

TEST(LedMeter, ClicksCycleThroughTheRanges) {
    Meter m;
    std::vector<int> seen;
    for (int i = 0; i < 4; ++i) {
        QTest::mouseClick(&m.led, Qt::LeftButton);
        seen.push_back(m.led.Status());
    }
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 0, 1}));
}

TEST(LedMeter, SegmentColoursFollowTheLevel) {
    Meter m;
    const QColor lime(0, 255, 0), green(0, 128, 0), maroon(128, 0, 0), white(255, 255, 255),
        red(255, 0, 0);

    m.led.SetLevels(-100, 0);
    for (int k = -24; k <= 0; ++k) {
        EXPECT_EQ(m.segment(0, k), TLedMetter::SegmentColor(k, -99.7)) << k;
    }
    EXPECT_EQ(m.segment(0, -24), green);
    EXPECT_EQ(m.segment(0, 0), maroon);
    EXPECT_EQ(m.segment(1, -24), lime);
    EXPECT_EQ(m.segment(1, 0), white) << "full scale lights the top segment white";

    m.led.SetLevels(-0.2, -14.3);
    EXPECT_EQ(m.segment(0, 0), red) << "just below full scale the top segment is red";
    EXPECT_EQ(m.segment(1, -14), QColor(36, 255, 0)) << "lit, first blend step";
    EXPECT_EQ(m.segment(1, -13), QColor(37, 128, 0)) << "unlit";
}

TEST(LedMeter, BlendSteps) {
    const int limeToYellow[] = {36, 73, 109, 146, 182, 219, 255};
    for (int s = 1; s <= 7; ++s) {
        EXPECT_EQ(TLedMetter::Blend(QColor(0, 255, 0), QColor(255, 255, 0), s, 7).red(),
                  limeToYellow[s - 1]);
    }
    const int yellowToRed[] = {255, 191, 128, 64, 0};
    for (int s = 0; s <= 4; ++s) {
        EXPECT_EQ(TLedMetter::Blend(QColor(255, 255, 0), QColor(255, 0, 0), s, 4).green(),
                  yellowToRed[s]);
    }
    EXPECT_EQ(TLedMetter::Blend(QColor(1, 2, 3), QColor(9, 9, 9), 3, 0), QColor(1, 2, 3));
}

TEST(LedMeter, PaintsOnlySegmentsWhoseColourChanged) {
    Meter m;
    m.led.SetLevels(-20, -20);
    const auto afterFirst = m.led.SegmentsPainted();
    m.led.SetLevels(-20, -20);
    EXPECT_EQ(m.led.SegmentsPainted(), afterFirst) << "the same levels again paint nothing";
    m.led.SetLevels(-10, -20);
    EXPECT_EQ(m.led.SegmentsPainted() - afterFirst, 10u)
        << "-19 .. -10 dB of the upper bar light up";
    m.led.DrawScale();
    EXPECT_EQ(m.led.SegmentsPainted() - afterFirst - 10, 50u)
        << "a new scale paints both bars afresh";
}

}  // namespace
}  // namespace qvm
