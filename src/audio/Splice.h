#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace qvm::audio {

// The newest audio a stream's reader has handed to its ring, kept so that a
// new connection's audio can be lined up with it. Interleaved 16-bit frames;
// holds at most `capacityFrames` of the newest ones, in a ring of its own
// allocated at the first append. Reader thread only.
class AudioTail {
  public:
    AudioTail(std::size_t capacityFrames, std::uint32_t chans);

    void append(const std::int16_t* samples, std::size_t frames);
    std::size_t frames() const { return m_filled / m_chans; }
    std::uint32_t chans() const { return m_chans; }
    // The frames held, oldest first.
    std::vector<std::int16_t> copy() const;
    // The newest frame; only while frames() > 0.
    const std::int16_t* last() const {
        return m_ring.data() + (m_next + m_capacity - m_chans) % m_capacity;
    }

  private:
    std::size_t m_capacity;  // samples
    std::uint32_t m_chans;
    std::vector<std::int16_t> m_ring;
    std::size_t m_next = 0;    // where the next sample goes
    std::size_t m_filled = 0;  // samples held
};

// Finds where a new connection's audio continues what the old one delivered.
//
// A server answers a new listener with a burst of the seconds it has just
// sent, so the new connection starts with audio the ring already holds. The
// decoder of the new connection produces the same samples as the old one
// once it has decoded a few frames (it starts without the frames before), so
// the old connection's newest audio turns up in the new audio exactly: a
// probe of it is looked for sample by sample, and the new audio continues
// right after the old one's last frame.
//
// The probe is the newest tenth of a second of the old audio that is loud
// enough to be recognised (silence matches anywhere); it may lie somewhat
// before the old audio's end, and the continuation is then that much after
// where the probe is found. A place where the probe matches sample for
// sample ends the search; a near match (a decoder that does not round
// alike) is only taken once the caller has seen all the new audio that can
// hold the overlap.
class SpliceFinder {
  public:
    static constexpr std::uint32_t kProbeMs = 100;
    // The quietest probe looked for: its RMS in 16-bit steps (about -54 dBFS).
    static constexpr double kMinProbeRms = 64.0;
    // A near match differs from the probe by at most this RMS (16-bit steps).
    static constexpr double kMaxNearRms = 2.0;

    // Takes the probe from the old audio (interleaved, `chans` channels,
    // oldest first); false when none of it is loud enough to be found again
    // (the search then finds nothing).
    bool start(std::span<const std::int16_t> old, std::uint32_t chans, std::uint32_t rate);
    void reset();

    // Looks at the places of `fresh` not yet looked at. `fresh` is the new
    // connection's audio so far (interleaved, the old audio's channel count);
    // between calls it only grows at its end.
    void search(std::span<const std::int16_t> fresh);

    // The frame of the new audio right after the old audio's last frame, when
    // the probe matched exactly; it may lie beyond the new audio seen so far.
    std::optional<std::size_t> exact() const;
    // The same for the best match of any kind so far.
    std::optional<std::size_t> best() const;
    bool probing() const { return !m_probe.empty(); }

  private:
    std::vector<std::int16_t> m_probe;
    std::uint32_t m_chans = 2;
    std::size_t m_after = 0;    // frames from the probe's end to the old audio's end
    std::size_t m_nextEnd = 0;  // the next probe end in the new audio to try, in frames
    std::uint64_t m_bound = 0;  // squared differences a match may have
    std::optional<std::size_t> m_bestEnd;
    std::uint64_t m_bestError = 0;
};

// Joins new audio onto old without a click where the two do not continue each
// other: the first `frames` of `fresh` are bent from the old audio's last
// frame towards their own values.
void BendOnto(const std::int16_t* lastOld, std::int16_t* fresh, std::size_t frames,
              std::size_t rampFrames, std::uint32_t chans);

}  // namespace qvm::audio
