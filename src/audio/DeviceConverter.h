#pragma once

#include <cstdint>
#include <vector>

struct SwrContext;

namespace qvm::audio {

// Turns one stream's native blocks (interleaved signed 16-bit at its own rate
// and channel count) into stereo float at the device rate, scaled to ±1.0,
// through libswresample, which also takes the stream slightly faster or
// slower than its nominal rate when the drift control asks (setRatio). Mono
// is put on both sides at full level (a radio engineer expects a mono feed to
// sound as loud as it is, not 3 dB down).
//
// Everything that allocates (the resampler and its compensating filter bank)
// happens in the constructor, so that the mixer thread never waits on the
// allocator for it. Runs on the mixer thread only, once built.
class DeviceConverter {
  public:
    // Frames of silence the first pull puts in front, so that the filter's
    // delay and its ±1 frame rounding never leave a later pull one frame short
    // (a one-frame hole in a tone is a click).
    static constexpr std::uint32_t kCushionFrames = 4;

    DeviceConverter(std::uint32_t inRate, std::uint32_t inChans, std::uint32_t outRate,
                    std::uint32_t maxPushFrames);
    ~DeviceConverter();
    DeviceConverter(const DeviceConverter&) = delete;
    DeviceConverter& operator=(const DeviceConverter&) = delete;

    bool valid() const { return m_valid; }

    // Takes the input `ratio` times faster than its nominal rate (1.0 = as it is).
    void setRatio(double ratio);
    // Native frames to push so that `frames` can be pulled after the push.
    std::uint32_t inputFor(std::uint32_t frames) const;
    // Converts `frames` native frames and queues the output.
    void push(const std::int16_t* in, std::uint32_t frames);
    // Takes up to `frames` stereo frames from the queue; returns how many.
    std::uint32_t pull(float* out, std::uint32_t frames);
    std::uint32_t queued() const {
        return static_cast<std::uint32_t>((m_queue.size() - m_head) / 2);
    }

  private:
    const std::uint32_t m_inRate;
    const std::uint32_t m_outRate;
    bool m_valid = true;
    SwrContext* m_swr = nullptr;
    double m_ratio = 1.0;
    int m_delta = 0;             // the compensation last set
    std::vector<float> m_queue;  // interleaved stereo, consumed from m_head
    std::size_t m_head = 0;
    bool m_primed = false;
};

}  // namespace qvm::audio
