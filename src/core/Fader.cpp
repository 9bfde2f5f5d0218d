#include "core/Fader.h"

namespace qvm {

namespace {
constexpr double kSecondsPerDay = 86400.0;
}

TQVFader::TQVFader(WallClock clock, QObject* parent) : QObject(parent), m_clock(clock) {
    m_timer.setInterval(10);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &TQVFader::Tick);
}

TQVFader::~TQVFader() {
    m_timer.stop();
}

void TQVFader::SetValue(double v) {
    m_startValue = v;
    m_value = v;
}

void TQVFader::FadeTo(double target, double seconds) {
    if (!(seconds >= 0 && seconds <= kSecondsPerDay)) {
        seconds = 0;  // also catches NaN
    }
    if (m_value == target) {
        seconds = 0;
    }
    const double now = m_clock();
    m_startTime = now;
    m_lastTime = now;
    m_endTime = m_clock() + seconds / kSecondsPerDay;
    if (seconds == 0) {
        m_value = target;
        m_running = false;
    } else {
        m_running = true;
    }
    m_target = target;
    m_startValue = m_value;
    call(OnStart);
    Tick();
    if (m_running) {
        m_timer.start();
    } else {
        m_timer.stop();
    }
}

void TQVFader::Tick() {
    Step();
    call(OnChange);
    if (!m_running) {
        call(OnEnd);
    }
}

void TQVFader::Step() {
    const double now = m_clock();
    if (now < m_lastTime) {
        // The clock was set back: move the ramp back by the same amount.
        const double d = m_lastTime - now;
        m_endTime -= d;
        m_startTime -= d;
    }
    if (now >= m_endTime || m_endTime == m_startTime) {
        m_value = m_target;
        m_running = false;
        m_timer.stop();
        return;
    }
    m_lastTime = now;
    m_value =
        m_startValue + (m_target - m_startValue) * (now - m_startTime) / (m_endTime - m_startTime);
}

void TQVFader::call(const Callback& callback) {
    // A copy, because the callback may replace itself while it runs.
    if (Callback copy = callback) {
        copy(*this, m_value);
    }
}

}  // namespace qvm
