#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace qvm::audio {

// The thread an output device mixes on: named "qvm-mixer" (for top -H and
// debuggers), real-time scheduling asked for (best effort: a refusal leaves it
// at normal priority), and sleeps that a stop cuts short.
class MixerThread {
  public:
    MixerThread() = default;
    ~MixerThread() { stop(); }
    MixerThread(const MixerThread&) = delete;
    MixerThread& operator=(const MixerThread&) = delete;

    // Runs `body` on the new thread; the body loops until stopRequested().
    void start(std::function<void()> body);
    // Asks the body to end, wakes it and waits for it. Idempotent.
    void stop();

    bool stopRequested() {
        std::lock_guard lock(m_mutex);
        return m_stop;
    }
    // Sleep until `due` (or for `wait`); a stop ends the sleep at once.
    template <class Clock, class Duration>
    void sleepUntil(const std::chrono::time_point<Clock, Duration>& due) {
        std::unique_lock lock(m_mutex);
        m_wake.wait_until(lock, due, [this] { return m_stop; });
    }
    template <class Rep, class Period>
    void sleepFor(const std::chrono::duration<Rep, Period>& wait) {
        std::unique_lock lock(m_mutex);
        m_wake.wait_for(lock, wait, [this] { return m_stop; });
    }

  private:
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    bool m_stop = false;  // m_mutex
};

}  // namespace qvm::audio
