#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "audio/AudioEngine.h"

namespace qvm {

// One attempt to open a channel's URL, on a thread of its own, because an open
// can block for the whole network time-out.
//
// Hand-over: the thread writes Handle and ErrorCode, then sets Done with
// release order; the UI thread reads them only after seeing Done with acquire
// order. Abort may be set by the UI thread at any time; the engine then gives
// up the pending open within about 100 ms. The object joins its thread when
// destroyed, which after Done (or an abort) takes no longer than that.
class TConnectThread {
  public:
    // Starts the attempt at once. `hls` picks the HLS open.
    TConnectThread(audio::IAudioEngine& engine, std::string url, bool hls);
    ~TConnectThread();
    TConnectThread(const TConnectThread&) = delete;
    TConnectThread& operator=(const TConnectThread&) = delete;

    bool Done() const { return m_done.load(std::memory_order_acquire); }
    // Valid once Done() has returned true.
    audio::StreamHandle Handle() const { return m_handle; }
    std::int32_t ErrorCode() const { return m_errorCode; }

    // Makes a pending open give up; its result is then of no interest.
    void Abort() { m_abort.store(true, std::memory_order_relaxed); }
    bool Aborted() const { return m_abort.load(std::memory_order_relaxed); }
    // Waits for the thread to end; Handle() and ErrorCode() are final then.
    void Join();

  private:
    void Execute();  // connect thread

    audio::IAudioEngine& m_engine;
    const std::string m_url;
    const bool m_hls;
    audio::StreamHandle m_handle = 0;
    std::int32_t m_errorCode = 0;
    std::atomic<bool> m_abort{false};
    std::atomic<bool> m_done{false};
    std::thread m_thread;  // last: starts once every field above is ready
};

}  // namespace qvm
