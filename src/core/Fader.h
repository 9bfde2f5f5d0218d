#pragma once

#include <QObject>
#include <QTimer>
#include <functional>

#include "core/TimeBase.h"

namespace qvm {

// Moves one value linearly to a target over a number of seconds, stepping on a
// 10 ms timer of the UI thread and reporting every step through callbacks. The
// ramp is timed by the wall clock, so late ticks never stretch it; a clock set
// back during a ramp is compensated. UI thread only.
class TQVFader : public QObject {
    Q_OBJECT
  public:
    using Callback = std::function<void(TQVFader&, double)>;

    explicit TQVFader(WallClock clock = &SystemWallClockDays, QObject* parent = nullptr);
    ~TQVFader() override;

    // Value without a ramp and without callbacks; a running ramp goes on from it.
    void SetValue(double v);
    // Starts a ramp from Value to `target` over `seconds` (0 or out of range:
    // at once). Reports OnStart and OnChange (and OnEnd when already there).
    void FadeTo(double target, double seconds);
    // One step with callbacks; also the timer's handler.
    void Tick();
    // Computes Value for the present time.
    void Step();

    bool Running() const { return m_running; }
    double Value() const { return m_value; }
    double Target() const { return m_target; }
    const QTimer& Timer() const { return m_timer; }

    // May be swapped at any time, also from inside a callback of this fader.
    Callback OnChange;
    Callback OnEnd;
    Callback OnStart;

  private:
    void call(const Callback& callback);

    WallClock m_clock;
    bool m_running = false;
    QTimer m_timer;
    double m_value = 0;
    double m_target = 0;
    double m_startValue = 0;
    double m_lastTime = 0;
    double m_startTime = 0;
    double m_endTime = 0;
};

}  // namespace qvm
