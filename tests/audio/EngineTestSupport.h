#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "audio/AudioEngine.h"

namespace qvm::audio::test {

using Clock = std::chrono::steady_clock;

#if defined(__SANITIZE_THREAD__)
inline constexpr bool kUnderThreadSanitizer = true;
#else
inline constexpr bool kUnderThreadSanitizer = false;
#endif
// Tests whose fixtures start helper programs (ffmpeg, icecast2, pulseaudio)
// skip themselves under ThreadSanitizer: QProcess starts them with a raw
// clone() that ThreadSanitizer cannot follow, and it then reports races on
// data every thread reaches only under one mutex.
inline constexpr const char* kTsanProcessNote =
    "ThreadSanitizer cannot follow QProcess's clone(); run this test in a normal build";

// Long enough for any test: the stream fixture plays no endless tone.
inline constexpr double kLong = 3600.0;
using std::chrono::milliseconds;

// Polls `done` every 10 ms until it holds or `timeout` passes.
bool WaitUntil(const std::function<bool()>& done, milliseconds timeout);

double SecondsSince(Clock::time_point start);

// The number of the built-in null output in the engine's device list, 0 if missing.
int NullDeviceNumber(IAudioEngine& engine);
// The number of the device named `name`, 0 if missing; `names` gets every name.
int DeviceNumber(IAudioEngine& engine, const std::string& name,
                 std::vector<std::string>* names = nullptr);

// Frees a stream when it goes out of scope. Declared after the objects its
// callbacks use, it keeps them alive until no callback can run, also when a
// failed assertion leaves the test early.
class StreamGuard {
  public:
    StreamGuard(IAudioEngine& engine, StreamHandle stream) : m_engine(engine), m_stream(stream) {}
    ~StreamGuard() { m_engine.StreamFree(m_stream); }
    StreamGuard(const StreamGuard&) = delete;
    StreamGuard& operator=(const StreamGuard&) = delete;

  private:
    IAudioEngine& m_engine;
    StreamHandle m_stream;
};

// A real engine with the null output opened at 48000 Hz and short network
// time-outs, so that failures show within a test's patience.
class EngineTest : public ::testing::Test {
  protected:
    static constexpr std::uint32_t kTimeoutMs = 2000;

    void SetUp() override;
    void TearDown() override;
    // Opens and fails the test on error.
    StreamHandle open(const std::string& url);
    // Waits for the stream's ring to hold at least `percent` of its capacity.
    bool waitFill(StreamHandle stream, int percent, milliseconds timeout);

    NetConfig m_config;
    std::unique_ptr<IAudioEngine> m_engine;
};

}  // namespace qvm::audio::test
