#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "audio/OutputDevice.h"

namespace qvm::audio {

// The one thread that lists PortAudio's output devices and brings a lost
// output back. Listing means re-initialising PortAudio, which opens every
// sound card and connects to every sound server: tens of milliseconds at best,
// seconds with a sound server that hangs, so never on the UI thread. Callers
// read the latest list at once.
//
// Rescans run while someone keeps asking for the list (the device wait polls
// it every 250 ms), at most once a second, and never while a PortAudio output
// plays (re-initialising PortAudio would end it). A lost output is closed
// and reopened by its name once a rescan finds it again.
//
// Every PortAudio call of the engine that touches its global state (scans,
// opening and closing outputs) is made under lock(), so they never overlap.
class DeviceWatcher {
  public:
    DeviceWatcher();
    ~DeviceWatcher();
    DeviceWatcher(const DeviceWatcher&) = delete;
    DeviceWatcher& operator=(const DeviceWatcher&) = delete;

    // The names of PortAudio's output devices as last listed. The first call
    // waits for the first listing, at most `firstWait`. Also marks the list
    // as wanted, so that rescans go on for a while. Any thread, never blocks
    // on a scan but the first.
    std::vector<std::string> names(std::chrono::milliseconds firstWait);
    // Rescans done so far (for tests and diagnostics).
    std::uint64_t scans() const;

    // Opens the output named `name` at `rate`, under the PortAudio lock.
    std::unique_ptr<PortAudioOutput> open(const std::string& name, std::uint32_t rate,
                                          std::uint32_t periodFrames, std::int32_t& error);
    // The output went quiet or failed: close it and reopen it by its name when
    // a rescan finds the device again. Any thread.
    void reopenWhenBack(PortAudioOutput* output);
    // Stops and closes an output from open(): no reopen for it any more; waits
    // while the watcher is busy with it.
    void close(std::unique_ptr<PortAudioOutput> output);

  private:
    void run();
    void scan();  // PortAudio lock held
    void tryReopen(PortAudioOutput* output);

    mutable std::mutex m_paMutex;  // PortAudio's global state
    PortAudioHost m_host;          // m_paMutex

    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::vector<std::string> m_names;                       // m_mutex
    bool m_scanned = false;                                 // m_mutex
    std::uint64_t m_scans = 0;                              // m_mutex
    std::chrono::steady_clock::time_point m_wantedUntil{};  // m_mutex
    PortAudioOutput* m_lost = nullptr;                      // m_mutex
    bool m_busyWithLost = false;                            // m_mutex
    bool m_outputOpen = false;  // m_mutex: a PortAudio output plays, no rescans
    bool m_stop = false;        // m_mutex
    std::thread m_thread;
};

}  // namespace qvm::audio
