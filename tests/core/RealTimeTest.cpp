#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include "core/Fader.h"

namespace qvm {
namespace {

// The fader steps on its own 10 ms timer and ends on time on the real clock.
TEST(FaderRealTime, RampRunsOnItsTimerAndEndsOnTime) {
    TQVFader fader;
    int changes = 0;
    int ends = 0;
    QEventLoop loop;
    fader.OnChange = [&](TQVFader&, double) { ++changes; };
    fader.OnEnd = [&](TQVFader&, double) {
        ++ends;
        loop.quit();
    };
    QElapsedTimer elapsed;
    elapsed.start();
    fader.FadeTo(1.0, 0.3);
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);  // bound, not expectation
    loop.exec();
    const qint64 ms = elapsed.elapsed();
    EXPECT_EQ(ends, 1);
    EXPECT_EQ(fader.Value(), 1.0);
    EXPECT_GE(ms, 290);
    EXPECT_LT(ms, 2000);
    EXPECT_GE(changes, 5) << "steps every 10 ms";
    EXPECT_FALSE(fader.Timer().isActive());
}

}  // namespace
}  // namespace qvm
