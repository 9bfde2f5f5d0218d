#include "core/TimeBase.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QThread>
#include <ctime>

namespace qvm {

std::uint64_t SystemTick64() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
           static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

std::uint32_t SystemTick32() {
    return static_cast<std::uint32_t>(SystemTick64());
}

std::uint64_t TickClock::now() {
    if (const TickSource64 source64 = m_source64.load(std::memory_order_relaxed)) {
        return source64();
    }
    const std::uint32_t tick = m_source.load(std::memory_order_relaxed)();
    std::uint64_t last = m_last.load(std::memory_order_relaxed);
    for (;;) {
        if (last == kUnset) {
            // First reading: the plain tick, as if the wrap count were zero.
            if (m_last.compare_exchange_weak(last, tick, std::memory_order_relaxed)) {
                return tick;
            }
            continue;
        }
        const auto delta = static_cast<std::int32_t>(tick - static_cast<std::uint32_t>(last));
        const std::uint64_t value =
            last + static_cast<std::uint64_t>(static_cast<std::int64_t>(delta));
        if (delta <= 0) {
            // Same tick, or a reading older than one another thread has already
            // published: place it relative to that one, store nothing.
            return value;
        }
        if (m_last.compare_exchange_weak(last, value, std::memory_order_relaxed)) {
            return value;
        }
        // Another thread published meanwhile; `last` now holds its value.
    }
}

void TickClock::reset(TickSource source) {
    // The 32-bit source first: a reader that still sees the 64-bit one set
    // uses that, never a null 32-bit one.
    m_source.store(source, std::memory_order_relaxed);
    m_last.store(kUnset, std::memory_order_relaxed);
    m_source64.store(nullptr, std::memory_order_relaxed);
}

void TickClock::reset(TickSource64 source) {
    m_source64.store(source, std::memory_order_relaxed);
    m_last.store(kUnset, std::memory_order_relaxed);
}

TickClock& GlobalTickClock() {
    static TickClock clock(&SystemTick64);
    return clock;
}

double SystemWallClockDays() {
    const QDateTime now = QDateTime::currentDateTime();
    const qint64 localMs = now.toMSecsSinceEpoch() + qint64{now.offsetFromUtc()} * 1000;
    return static_cast<double>(localMs) / 86400000.0;
}

namespace {
// UI thread only, like the pump itself.
std::int64_t g_lastPump = 0;
}  // namespace

bool PumpMessages(bool force) {
    const auto now = static_cast<std::int64_t>(TickCount64());
    if (!force && now - g_lastPump <= 100) {
        return false;
    }
    g_lastPump = now;
    SleepAndPump(20);
    return true;
}

void SleepAndPump(int milliseconds) {
    if (milliseconds > 0) {
        QThread::msleep(static_cast<unsigned long>(milliseconds));
    }
    if (QCoreApplication::instance() == nullptr) {
        return;
    }
    QCoreApplication::sendPostedEvents();
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

}  // namespace qvm
