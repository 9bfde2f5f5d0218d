#include <algorithm>
#include <chrono>
#include <vector>

#include "audio/MixerThread.h"
#include "audio/OutputDevice.h"
#include "audio/WavWriter.h"

namespace qvm::audio {

namespace {

using Clock = std::chrono::steady_clock;

// The built-in "Null output". Its thread is the mixer: it wakes at each
// wake-up's due time on the steady clock and mixes the periods up to the next
// one. A wake-up whose mix finishes more than one wake-up interval after its
// due time would have reached a real device too late and counts as an
// underrun; the thread then catches up without sleeping, and after falling a
// whole second behind it starts the timeline afresh.
class NullOutput final : public OutputDevice {
  public:
    NullOutput(std::uint32_t rate, std::uint32_t periodFrames, std::uint32_t periodsPerWake,
               std::string capturePath)
        : m_rate(rate),
          m_period(periodFrames),
          m_periodsPerWake(std::max<std::uint32_t>(periodsPerWake, 1)),
          m_capturePath(std::move(capturePath)) {}
    ~NullOutput() override { stop(); }

    bool start(MixFn mix) override {
        if (!m_capturePath.empty()) {
            // A capture that cannot be written leaves the relay running.
            m_wav.open(m_capturePath, m_rate, 2);
        }
        m_mix = std::move(mix);
        m_thread.start([this] { run(); });
        return true;
    }

    void stop() override {
        m_thread.stop();
        m_wav.close();
    }

    std::uint64_t underruns() const override { return m_underruns.load(std::memory_order_relaxed); }

  private:
    void run() {
        const std::uint32_t frames = m_period * m_periodsPerWake;
        std::vector<std::int16_t> block(std::size_t{frames} * 2);
        const auto period = std::chrono::nanoseconds(std::int64_t{frames} * 1000000000 / m_rate);
        const int flushEvery = std::max<int>(1, static_cast<int>(m_rate / frames));  // ~1 s
        int sinceFlush = 0;
        auto due = Clock::now();
        while (!m_thread.stopRequested()) {
            m_mix(block.data(), m_periodsPerWake);
            if (m_wav.isOpen()) {
                m_wav.write(block.data(), frames);
                if (++sinceFlush >= flushEvery) {
                    m_wav.flush();
                    sinceFlush = 0;
                }
            }
            const auto now = Clock::now();
            if (now > due + period) {
                m_underruns.fetch_add(1, std::memory_order_relaxed);
            }
            due += period;
            if (now - due > std::chrono::seconds(1)) {
                due = now;
            }
            m_thread.sleepUntil(due);
        }
    }

    const std::uint32_t m_rate;
    const std::uint32_t m_period;
    const std::uint32_t m_periodsPerWake;
    const std::string m_capturePath;
    MixFn m_mix;
    WavWriter m_wav;  // mixer thread while running
    std::atomic<std::uint64_t> m_underruns{0};
    MixerThread m_thread;  // last: stops before the members it uses go
};

}  // namespace

std::unique_ptr<OutputDevice> CreateNullOutput(std::uint32_t rate, std::uint32_t periodFrames,
                                               std::uint32_t periodsPerWake,
                                               const std::string& capturePath) {
    return std::make_unique<NullOutput>(rate, periodFrames, periodsPerWake, capturePath);
}

}  // namespace qvm::audio
