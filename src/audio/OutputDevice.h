#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

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

// Opens a PortAudio output (16-bit stereo). On failure returns null and sets
// `error` (kErrFreq for a rate the device refuses, kErrDevice, kErrDriver).
std::unique_ptr<OutputDevice> CreatePortAudioOutput(int paIndex, std::uint32_t rate,
                                                    std::uint32_t periodFrames,
                                                    std::int32_t& error);

}  // namespace qvm::audio
