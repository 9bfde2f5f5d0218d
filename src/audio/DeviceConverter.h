#pragma once

#include <cstdint>
#include <vector>

struct SwrContext;

namespace qvm::audio {

// Turns one stream's native blocks (interleaved signed 16-bit at its own rate
// and channel count) into stereo float at the device rate, scaled to ±1.0.
// Rate conversion and down-mixing go through libswresample; a stream already
// at the device rate with one or two channels takes a plain copy. Mono is put
// on both sides at full level (a radio engineer expects a mono feed to sound
// as loud as it is, not 3 dB down). Runs on the mixer thread only.
class DeviceConverter {
  public:
    DeviceConverter(std::uint32_t inRate, std::uint32_t inChans, std::uint32_t outRate,
                    std::uint32_t maxPushFrames);
    ~DeviceConverter();
    DeviceConverter(const DeviceConverter&) = delete;
    DeviceConverter& operator=(const DeviceConverter&) = delete;

    bool valid() const { return m_valid; }

    // Converts `frames` native frames and queues the output.
    void push(const std::int16_t* in, std::uint32_t frames);
    // Takes up to `frames` stereo frames from the queue; returns how many.
    // The first pull after a start or reset puts a few frames of silence in
    // front, so that the filter's delay and its ±1 frame rounding never leave a
    // later pull one frame short (a one-frame hole in a tone is a click).
    std::uint32_t pull(float* out, std::uint32_t frames);
    std::uint32_t queued() const {
        return static_cast<std::uint32_t>((m_queue.size() - m_head) / 2);
    }
    // Forgets the filter history and the queued output (after the stream was
    // skipped over while silent).
    void reset();

  private:
    std::uint32_t m_inChans;
    bool m_direct;  // same rate and at most two channels: no libswresample
    bool m_valid = true;
    SwrContext* m_swr = nullptr;
    std::vector<float> m_queue;  // interleaved stereo, consumed from m_head
    std::size_t m_head = 0;
    bool m_primed = false;
};

}  // namespace qvm::audio
