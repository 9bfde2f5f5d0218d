#include "audio/DeviceWatcher.h"

#include <pthread.h>

#include <algorithm>

#include "audio/AudioEngine.h"

namespace qvm::audio {

namespace {

using Clock = std::chrono::steady_clock;
// How long the list stays wanted after it was asked for.
constexpr auto kWantedFor = std::chrono::seconds(3);
constexpr auto kScanEvery = std::chrono::seconds(1);

}  // namespace

DeviceWatcher::DeviceWatcher() {
    m_wantedUntil = Clock::now() + kWantedFor;
    m_thread = std::thread([this] { run(); });
}

DeviceWatcher::~DeviceWatcher() {
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    m_thread.join();
}

std::vector<std::string> DeviceWatcher::names(std::chrono::milliseconds firstWait) {
    std::unique_lock lock(m_mutex);
    const auto now = Clock::now();
    if (m_wantedUntil < now) {
        m_wake.notify_all();  // a scan is due at once
    }
    m_wantedUntil = now + kWantedFor;
    m_wake.wait_for(lock, firstWait, [this] { return m_scanned || m_stop; });
    return m_names;
}

std::uint64_t DeviceWatcher::scans() const {
    std::lock_guard lock(m_mutex);
    return m_scans;
}

std::unique_ptr<PortAudioOutput> DeviceWatcher::open(const std::string& name, std::uint32_t rate,
                                                     std::uint32_t periodFrames,
                                                     std::int32_t& error) {
    std::lock_guard paLock(m_paMutex);
    if (!m_host.initialised()) {
        scan();
    }
    const auto& outputs = m_host.outputs();
    const auto at = std::find_if(outputs.begin(), outputs.end(),
                                 [&](const PaOutputDevice& d) { return d.name == name; });
    if (at == outputs.end()) {
        error = kErrDevice;
        return nullptr;
    }
    auto output = std::make_unique<PortAudioOutput>(
        name, rate, periodFrames, [this](PortAudioOutput* lost) { reopenWhenBack(lost); });
    error = output->openStream(at->index);
    if (error != kErrOk) {
        return nullptr;
    }
    std::lock_guard lock(m_mutex);
    m_outputOpen = true;
    return output;
}

void DeviceWatcher::close(std::unique_ptr<PortAudioOutput> output) {
    if (!output) {
        return;
    }
    {
        std::unique_lock lock(m_mutex);
        m_wake.wait(lock, [&] { return !m_busyWithLost || m_lost != output.get(); });
        if (m_lost == output.get()) {
            m_lost = nullptr;
        }
    }
    output->stop();
    {
        std::lock_guard paLock(m_paMutex);
        output.reset();
    }
    std::lock_guard lock(m_mutex);
    m_outputOpen = false;
}

void DeviceWatcher::reopenWhenBack(PortAudioOutput* output) {
    {
        std::lock_guard lock(m_mutex);
        m_lost = output;
    }
    m_wake.notify_all();
}

void DeviceWatcher::scan() {
    m_host.rescan();
    std::vector<std::string> names;
    for (const PaOutputDevice& device : m_host.outputs()) {
        names.push_back(device.name);
    }
    std::lock_guard lock(m_mutex);
    m_names = std::move(names);
    m_scanned = true;
    ++m_scans;
    m_wake.notify_all();
}

// Watcher thread, with m_busyWithLost set: the output cannot go meanwhile.
void DeviceWatcher::tryReopen(PortAudioOutput* output) {
    std::lock_guard paLock(m_paMutex);
    // The dead stream first: PortAudio cannot be re-initialised under it.
    output->closeStream();
    scan();
    const auto& outputs = m_host.outputs();
    const auto at = std::find_if(outputs.begin(), outputs.end(),
                                 [&](const PaOutputDevice& d) { return d.name == output->name(); });
    if (at != outputs.end() && output->openStream(at->index) == kErrOk) {
        output->adoptStream();
        std::lock_guard lock(m_mutex);
        if (m_lost == output) {
            m_lost = nullptr;
        }
    }
}

void DeviceWatcher::run() {
    pthread_setname_np(pthread_self(), "qvm-devices");
    auto nextScan = Clock::now();
    std::unique_lock lock(m_mutex);
    while (!m_stop) {
        const auto now = Clock::now();
        if (m_lost != nullptr && now >= nextScan) {
            PortAudioOutput* output = m_lost;
            m_busyWithLost = true;
            lock.unlock();
            tryReopen(output);
            lock.lock();
            m_busyWithLost = false;
            m_wake.notify_all();
            nextScan = Clock::now() + kScanEvery;
            continue;
        }
        const bool wanted = now < m_wantedUntil || !m_scanned;
        if (m_lost == nullptr && !m_outputOpen && wanted && now >= nextScan) {
            lock.unlock();
            {
                std::lock_guard paLock(m_paMutex);
                scan();
            }
            lock.lock();
            nextScan = Clock::now() + kScanEvery;
            continue;
        }
        // Sleeps until a scan is due, the list is asked for, or a device is lost.
        const auto until =
            (m_lost != nullptr || wanted) ? nextScan : Clock::now() + std::chrono::hours(1);
        m_wake.wait_until(lock, until);
    }
}

}  // namespace qvm::audio
