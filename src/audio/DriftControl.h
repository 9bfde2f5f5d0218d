#pragma once

#include <cstdint>

namespace qvm::audio {

// Holds one stream's ring near a target fill by taking the stream slightly
// faster or slower than its nominal rate: the sender's clock (a sound card or
// an encoder somewhere) and the output device's differ by tens of ppm, so a
// stream taken at exactly its nominal rate either runs dry after some hours
// or falls further and further behind live.
//
// A slow PI controller on the fill, with its output rate-limited:
//  - what it holds is the highest fill of the last few seconds, low-passed:
//    the fill right after the reader has taken what gathered in the socket.
//    Network jitter only ever holds data back for a while and then delivers
//    it at once, and the reader's paced reads only let the fill sag between
//    them: neither moves that top, so neither moves the pitch, while a
//    sender's clock moves it steadily;
//  - after a start (or a stall) it only watches for a while and then holds the
//    fill it found, gliding towards the target at a rate below hearing, so that
//    a connect burst or a refill is not taken for drift;
//  - the integral is the estimate of the sender's clock offset; the whole
//    correction stays within ±kMaxDeviation and changes by at most kSlew per
//    second, so the pitch follows the sender's clock without warble and never
//    departs from it by much more than the drift itself. While the rate limit
//    holds the correction back, the integral does not grow further (it would
//    only overshoot later).
// Runs on the mixer thread; plain value type, no locking.
class DriftControl {
  public:
    static constexpr double kMaxDeviation = 0.015;    // follows senders within ±1 % with room
    static constexpr double kSlewPerSecond = 0.0005;  // about a cent per second
    static constexpr double kLoopSeconds = 40.0;      // time constant of the closed loop
    static constexpr double kFilterSeconds = 2.0;
    static constexpr int kTopBlocks = 5;  // the top is taken over this many seconds
    static constexpr double kSettleSeconds = 10.0;
    static constexpr double kGlidePerSecond = 0.0005;  // seconds of fill per second

    // `targetFrames`: the fill to hold; `ceilingFrames`: the highest fill it
    // may settle on (a ring found full is not taken for the level to hold);
    // `frameRate`: the stream's frames per second; `updateSeconds`: the time
    // between two updates.
    DriftControl(double targetFrames, double ceilingFrames, double frameRate, double updateSeconds);

    // One update with the ring's fill in frames; returns the ratio at which
    // the stream is to be taken until the next update (1.0 = nominal).
    double update(double fillFrames);
    // After a stall: watch and settle afresh, keep the clock estimate.
    void restart();

    double ratio() const { return 1.0 + m_correction; }
    // The estimate of the sender's clock offset (+0.01: 1 % fast).
    double driftEstimate() const { return m_integral; }
    bool settling() const { return m_elapsed < kSettleSeconds; }

  private:
    double top(double fillFrames);

    double m_target;                      // frames
    double m_ceiling;                     // frames
    double m_frameRate;                   // frames per second
    double m_dt;                          // seconds per update
    double m_filtered = -1.0;             // frames; < 0 before the first update
    double m_blockTops[kTopBlocks] = {};  // the highest fill of each of the last seconds
    int m_blocksFilled = 0;
    int m_blockAt = 0;
    double m_blockTop = 0.0;  // of the second under way
    double m_blockSeconds = 0.0;
    double m_setpoint = 0.0;  // frames; glides towards m_target
    double m_integral = 0.0;
    double m_correction = 0.0;
    double m_elapsed = 0.0;  // seconds since the start or restart
};

}  // namespace qvm::audio
