#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "audio/MixerThread.h"
#include "audio/PcmRing.h"

namespace qvm::audio {

// A sound output driven by its own mixer thread. The mixer function fills
// `periods` consecutive periods of interleaved 16-bit stereo at the device
// rate; the device calls it on the mixer thread, never on the real-time
// callback thread.
class OutputDevice {
  public:
    using MixFn = std::function<void(std::int16_t* out, std::uint32_t periods)>;

    virtual ~OutputDevice() = default;
    // Starts the mixer thread (and the device); `mix` runs until stop().
    virtual bool start(MixFn mix) = 0;
    // Stops the device and joins the mixer thread; mix is never called after.
    virtual void stop() = 0;
    // Periods the device had to play without a mixed block ready.
    virtual std::uint64_t underruns() const = 0;
    // The device stopped taking the mix (unplugged, its sound server gone):
    // the mix goes on, paced by the clock, until it is back. Any thread.
    virtual bool lost() const { return false; }
    // Times it was lost so far.
    virtual std::uint64_t losses() const { return 0; }
};

// Paces the mixer in real time with a steady clock and discards the mix, or
// also writes it to a WAV file when `capturePath` is not empty. It wakes once
// per `periodsPerWake` periods and mixes them in a row: with no listener
// behind it, only the cost of waking up matters, not latency.
std::unique_ptr<OutputDevice> CreateNullOutput(std::uint32_t rate, std::uint32_t periodFrames,
                                               std::uint32_t periodsPerWake,
                                               const std::string& capturePath);

// PortAudio's output devices.
struct PaOutputDevice {
    int index = -1;  // PortAudio device index
    std::string name;
};

// Owns PortAudio's initialisation. Not thread-safe: the engine serialises it.
class PortAudioHost {
  public:
    PortAudioHost() = default;
    ~PortAudioHost();
    PortAudioHost(const PortAudioHost&) = delete;
    PortAudioHost& operator=(const PortAudioHost&) = delete;

    // Re-initialises PortAudio, so that devices plugged in since are found.
    // Only while no PortAudio stream is open.
    void rescan();
    const std::vector<PaOutputDevice>& outputs() const { return m_outputs; }
    bool initialised() const { return m_initialised; }

  private:
    bool m_initialised = false;
    std::vector<PaOutputDevice> m_outputs;
};

// A PortAudio output (16-bit stereo) fed from a lock-free FIFO: its mixer
// thread keeps the FIFO topped up, the callback only copies out of it.
//
// A device that stops calling back for half a second, or whose stream is no
// longer active, is lost: the mixer thread then mixes on, paced by the clock,
// and discards the mix (streams, taps, the studio feed and the meters go on),
// and `onLost` hands the output to whoever reopens it (the DeviceWatcher),
// who closes the dead stream, opens a new one (adoptStream) once the device is
// back, and the mixer thread starts it.
class PortAudioOutput final : public OutputDevice {
  public:
    using LostFn = std::function<void(PortAudioOutput*)>;

    PortAudioOutput(std::string name, std::uint32_t rate, std::uint32_t periodFrames,
                    LostFn onLost);
    ~PortAudioOutput() override;
    PortAudioOutput(const PortAudioOutput&) = delete;
    PortAudioOutput& operator=(const PortAudioOutput&) = delete;

    const std::string& name() const { return m_name; }
    std::uint32_t rate() const { return m_rate; }

    // Under the PortAudio lock, while no stream of the output runs: opens the
    // device at the output's rate (kErrOk, or kErrFreq, kErrDevice, kErrDriver,
    // kErrBusy), or closes the current stream.
    std::int32_t openStream(int paIndex);
    void closeStream();
    // A stream opened again after a loss: the mixer thread starts it.
    void adoptStream() { m_reopened.store(true, std::memory_order_release); }

    bool start(MixFn mix) override;
    void stop() override;
    std::uint64_t underruns() const override { return m_underruns.load(std::memory_order_relaxed); }
    bool lost() const override { return m_lost.load(std::memory_order_acquire); }
    std::uint64_t losses() const override { return m_losses.load(std::memory_order_relaxed); }

    // PortAudio's callback thread: copies, counts, never blocks.
    int callback(void* output, unsigned long frames, unsigned long flags);

  private:
    void run();
    // Hands the output over to be reopened; `wasPlaying`: a playing device
    // was lost (not a reopened one that failed to start).
    void markLost(bool wasPlaying);
    bool startStream();  // mixer thread

    const std::string m_name;
    const std::uint32_t m_rate;
    const std::uint32_t m_period;
    const LostFn m_onLost;
    void* m_stream = nullptr;  // PaStream; see the class comment for who uses it when
    PcmRing m_fifo;            // producer: mixer thread; consumer: PortAudio callback
    MixFn m_mix;
    std::atomic<bool> m_primed{false};  // the FIFO was filled once: shortfalls count
    std::atomic<std::uint64_t> m_underruns{0};
    std::atomic<std::uint64_t> m_callbacks{0};  // written by the callback
    std::atomic<bool> m_lost{false};
    std::atomic<bool> m_reopened{false};  // set by the watcher, taken by the mixer thread
    std::atomic<std::uint64_t> m_losses{0};
    bool m_running = false;                               // mixer thread: the stream was started
    std::chrono::steady_clock::time_point m_startedAt{};  // mixer thread
    MixerThread m_thread;  // last: stops before the members it uses go
};

}  // namespace qvm::audio
