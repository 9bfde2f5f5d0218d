#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <unordered_map>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/avutil.h>
#include <libavutil/log.h>
#include <libswresample/swresample.h>
}

#include "audio/AudioEngine.h"
#include "audio/AudioError.h"
#include "audio/DeviceWatcher.h"
#include "audio/Mixer.h"
#include "audio/NetInput.h"
#include "audio/OutputDevice.h"
#include "audio/UrlStream.h"

namespace qvm::audio {

namespace {

constexpr const char* kNullOutputName = "Null output";
constexpr std::uint32_t kMinRate = 8000;
constexpr std::uint32_t kMaxRate = 192000;
constexpr std::uint32_t kPeriodsPerSecond = 50;  // 20 ms mixer period
// The null output mixes five periods per wake-up (100 ms): on a server with no
// sound card the relay then wakes ten times a second instead of fifty, while
// the DSP callbacks, the studio feed and the levels still see 20 ms blocks.
constexpr std::uint32_t kNullPeriodsPerWake = 5;
// The first device listing is waited for this long; later ones never.
constexpr std::chrono::milliseconds kFirstScanWait{3000};

// True while the calling thread runs the mix (and so the DSP callbacks): the
// calls that take the mix lock refuse instead of deadlocking.
thread_local bool t_inMixer = false;

bool ok() {
    SetLastError(kErrOk);
    return true;
}

bool fail(std::int32_t code) {
    SetLastError(code);
    return false;
}

class Engine final : public IAudioEngine {
  public:
    Engine() {
        if (const char* level = std::getenv("QVMIRELTA_AV_LOGLEVEL")) {
            av_log_set_level(std::atoi(level));
        } else {
            // Live streams start mid-frame and carry junk now and then; FFmpeg
            // reports each such resync, which means nothing to a relay.
            av_log_set_level(AV_LOG_FATAL);
        }
        m_janitor = std::thread([this] { janitor(); });
    }

    ~Engine() override {
        Free();
        {
            std::lock_guard lock(m_janitorMutex);
            m_janitorStop = true;
        }
        m_janitorWake.notify_all();
        m_janitor.join();
    }

    std::string VersionMismatch() override {
        SetLastError(kErrOk);
        const struct {
            unsigned runtime;
            unsigned built;
            const char* name;
        } libs[] = {
            {avcodec_version(), LIBAVCODEC_VERSION_MAJOR, "libavcodec.so."},
            {avformat_version(), LIBAVFORMAT_VERSION_MAJOR, "libavformat.so."},
            {avutil_version(), LIBAVUTIL_VERSION_MAJOR, "libavutil.so."},
            {swresample_version(), LIBSWRESAMPLE_VERSION_MAJOR, "libswresample.so."},
        };
        for (const auto& lib : libs) {
            if (AV_VERSION_MAJOR(lib.runtime) != lib.built) {
                return lib.name + std::to_string(lib.built);
            }
        }
        return {};
    }

    bool GetDeviceInfo(int device, DeviceInfo& info) override {
        // Asking for the first device marks the list as wanted: the watcher
        // rescans in the background, so that a device plugged in since is
        // found; the answer is the list as last scanned, at once.
        std::lock_guard lock(m_namesMutex);
        if (device == 1 || m_names.empty()) {
            takeNames();
        }
        if (device < 1 || device > static_cast<int>(m_names.size())) {
            return fail(kErrDevice);
        }
        info.name = m_names[static_cast<std::size_t>(device - 1)];
        return ok();
    }

    bool Init(int device, std::uint32_t freq) override {
        std::lock_guard lock(m_deviceMutex);
        if (m_output) {
            return fail(kErrAlready);
        }
        std::vector<std::string> names;
        {
            std::lock_guard namesLock(m_namesMutex);
            if (m_names.empty()) {
                takeNames();
            }
            names = m_names;
        }
        if (device < 1 || device > static_cast<int>(names.size())) {
            return fail(kErrDevice);
        }
        if (freq < kMinRate || freq > kMaxRate) {
            return fail(kErrFreq);
        }
        const std::uint32_t period = freq / kPeriodsPerSecond;
        std::unique_ptr<OutputDevice> output;
        const auto index = static_cast<std::size_t>(device - 1);
        m_outputIsPortAudio = index + 1 < names.size();
        if (!m_outputIsPortAudio) {
            const char* capture = std::getenv("QVMIRELTA_CAPTURE_WAV");
            output = CreateNullOutput(freq, period, kNullPeriodsPerWake, capture ? capture : "");
        } else {
            std::int32_t error = kErrOk;
            output = m_watcher.open(names[index], freq, period, error);
            if (!output) {
                return fail(error);
            }
        }
        {
            std::lock_guard mixLock(m_mixMutex);
            m_mixer = std::make_unique<Mixer>(freq, period);
        }
        m_output = std::move(output);
        // The output lives until its mixer thread has stopped. Its counters
        // are copied into atomics of the engine after each mix, so that
        // GetStats never needs the device lock.
        m_output->start(
            [this, out = m_output.get(), late = m_latePeriods.load(),
             losses = m_deviceLosses.load()](std::int16_t* mixed, std::uint32_t periods) {
                mixPeriods(mixed, periods);
                m_latePeriods.store(late + out->underruns(), std::memory_order_relaxed);
                m_deviceLosses.store(losses + out->losses(), std::memory_order_relaxed);
                m_deviceLost.store(out->lost(), std::memory_order_relaxed);
            });
        m_initialised.store(true);
        return ok();
    }

    void Free() override {
        std::lock_guard lock(m_deviceMutex);
        m_initialised.store(false);
        if (m_output) {
            m_output->stop();
        }
        m_deviceLost.store(false);
        std::vector<StreamHandle> handles;
        {
            std::lock_guard tableLock(m_tableMutex);
            for (const auto& [handle, stream] : m_streams) {
                handles.push_back(handle);
            }
        }
        for (StreamHandle handle : handles) {
            freeStream(handle);
        }
        joinRetired();
        {
            std::lock_guard mixLock(m_mixMutex);
            m_mixer.reset();
        }
        m_stallsBefore = m_stalls.load();
        if (m_outputIsPortAudio && m_output) {
            m_watcher.close(std::unique_ptr<PortAudioOutput>(
                static_cast<PortAudioOutput*>(m_output.release())));
        }
        m_output.reset();
        SetLastError(kErrOk);
    }

    void SetNetConfig(const NetConfig& config) override {
        std::lock_guard lock(m_configMutex);
        m_config = config;
        SetLastError(kErrOk);
    }

    bool HlsSupported() override { return av_find_input_format("hls") != nullptr; }

    std::uint64_t DeviceUnderruns() override {
        std::lock_guard lock(m_deviceMutex);
        SetLastError(kErrOk);
        return m_output ? m_output->underruns() : 0;
    }

    // Atomics only: the UI thread asks ten times a second, and must not wait for
    // whatever holds the device lock.
    EngineStats GetStats() override {
        EngineStats stats;
        stats.latePeriods = m_latePeriods.load(std::memory_order_relaxed);
        stats.stalls = m_stalls.load(std::memory_order_relaxed);
        stats.deviceLost = m_deviceLost.load(std::memory_order_relaxed);
        stats.deviceLosses = m_deviceLosses.load(std::memory_order_relaxed);
        stats.deviceScans = m_watcher.scans();
        stats.rejoins = m_rejoins.load(std::memory_order_relaxed);
        SetLastError(kErrOk);
        return stats;
    }

    bool ChannelGetStats(StreamHandle handle, StreamStats& stats) override {
        auto stream = find(handle);
        if (!stream) {
            return fail(kErrHandle);
        }
        const MixChannel& mix = stream->mix();
        stats.stalls = mix.stalls.load(std::memory_order_relaxed);
        stats.ratio = mix.ratio.load(std::memory_order_relaxed);
        stats.error = mix.error.load(std::memory_order_relaxed);
        stats.rejoins = mix.rejoins.load(std::memory_order_relaxed);
        stats.rejoinGaps = mix.rejoinGaps.load(std::memory_order_relaxed);
        stats.rejoinMs = mix.rejoinMs.load(std::memory_order_relaxed);
        stats.spliceSearchUs = mix.spliceSearchUs.load(std::memory_order_relaxed);
        return ok();
    }

    StreamHandle StreamCreateURL(const std::string& url, const std::atomic<bool>* abort) override {
        return create(url, false, abort);
    }

    StreamHandle HlsStreamCreateURL(const std::string& url,
                                    const std::atomic<bool>* abort) override {
        return create(url, true, abort);
    }

    std::int32_t ErrorGetCode() override { return LastError(); }

    bool ChannelGetInfo(StreamHandle handle, ChannelInfo& info) override {
        auto stream = find(handle);
        if (!stream) {
            return fail(kErrHandle);
        }
        info = stream->info();
        return ok();
    }

    bool ChannelGetTags(StreamHandle handle, TagKind kind,
                        std::vector<std::string>& lines) override {
        auto stream = find(handle);
        if (!stream) {
            lines.clear();
            return fail(kErrHandle);
        }
        return stream->tags(kind, lines) ? ok() : fail(kErrNotAvail);
    }

    SyncHandle ChannelSetSync(StreamHandle handle, SyncProc proc, void* user) override {
        auto stream = find(handle);
        if (!stream) {
            fail(kErrHandle);
            return 0;
        }
        if (proc == nullptr) {
            fail(kErrIllParam);
            return 0;
        }
        const SyncHandle sync = nextId(m_nextSync);
        stream->addSync(sync, proc, user);
        ok();
        return sync;
    }

    DspHandle ChannelSetDSP(StreamHandle handle, DspProc proc, void* user, int priority) override {
        auto stream = find(handle);
        if (!stream) {
            fail(kErrHandle);
            return 0;
        }
        if (proc == nullptr) {
            fail(kErrIllParam);
            return 0;
        }
        if (t_inMixer) {
            fail(kErrBusy);
            return 0;
        }
        const DspHandle dsp = nextId(m_nextDsp);
        std::lock_guard lock(m_mixMutex);
        if (stream->freed) {
            fail(kErrHandle);
            return 0;
        }
        auto& list = stream->mix().dsps;
        const auto at = std::find_if(list.begin(), list.end(), [priority](const DspEntry& e) {
            return e.priority < priority;
        });
        list.insert(at, DspEntry{dsp, proc, user, priority});
        ok();
        return dsp;
    }

    bool ChannelRemoveDSP(StreamHandle handle, DspHandle dsp) override {
        auto stream = find(handle);
        if (!stream) {
            return fail(kErrHandle);
        }
        if (t_inMixer) {
            return fail(kErrBusy);
        }
        std::lock_guard lock(m_mixMutex);  // the mixer holds it while it calls DSPs
        auto& list = stream->mix().dsps;
        const auto at = std::find_if(list.begin(), list.end(),
                                     [dsp](const DspEntry& e) { return e.handle == dsp; });
        if (at == list.end()) {
            return fail(kErrHandle);
        }
        list.erase(at);
        return ok();
    }

    bool ChannelSetVolume(StreamHandle handle, float volume) override {
        auto stream = find(handle);
        if (!stream) {
            return fail(kErrHandle);
        }
        if (!(volume >= 0.0f)) {
            volume = 0.0f;  // also NaN
        }
        stream->mix().volume.store(std::min(volume, 1.0f), std::memory_order_relaxed);
        return ok();
    }

    bool ChannelPlay(StreamHandle handle) override {
        auto stream = find(handle);
        if (!stream) {
            return fail(kErrHandle);
        }
        if (t_inMixer) {
            return fail(kErrBusy);
        }
        MixChannel& mix = stream->mix();
        std::uint32_t rate = 0;
        std::uint32_t period = 0;
        {
            std::lock_guard lock(m_mixMutex);
            if (stream->freed) {
                return fail(kErrHandle);
            }
            if (!m_mixer) {
                return fail(kErrInit);
            }
            if (m_mixer->contains(&mix)) {
                return ok();
            }
            rate = m_mixer->deviceRate();
            period = m_mixer->periodFrames();
        }
        // The converter is built outside the mix lock: the mixer thread, at
        // real-time priority, must never wait for an allocation of ours.
        std::unique_ptr<Mixer::Slot> slot = Mixer::prepare(&mix, rate, period);
        if (!slot) {
            return fail(kErrFormat);
        }
        std::unique_ptr<Mixer::Slot> unused;
        {
            std::lock_guard lock(m_mixMutex);
            if (stream->freed || !m_mixer || m_mixer->deviceRate() != rate) {
                return fail(stream->freed ? kErrHandle : kErrInit);
            }
            unused = m_mixer->insert(std::move(slot));
        }
        return ok();
    }

    std::int64_t StreamGetFilePosition(StreamHandle handle, FilePos what) override {
        auto stream = find(handle);
        if (!stream) {
            fail(kErrHandle);
            return -1;
        }
        SetLastError(kErrOk);
        switch (what) {
            case FilePos::Connected:
                return stream->connected() ? 1 : 0;
            case FilePos::End:
                return static_cast<std::int64_t>(stream->mix().nominalBytes);
            case FilePos::Buffer: {
                // A stalled stream has nothing to play until it has gathered
                // enough again; the fill says so, so that the channel's
                // underrun watchdog sees the stall.
                const MixChannel& mix = stream->mix();
                if (mix.stalled.load(std::memory_order_relaxed)) {
                    return 0;
                }
                return static_cast<std::int64_t>(std::min(mix.ring.readable(), mix.nominalBytes));
            }
        }
        return -1;
    }

    std::uint32_t ChannelGetLevel(StreamHandle handle) override {
        auto stream = find(handle);
        if (!stream) {
            fail(kErrHandle);
            return 0xFFFFFFFFu;
        }
        SetLastError(kErrOk);
        return stream->mix().level.load(std::memory_order_relaxed);
    }

    std::int64_t ChannelGetPosition(StreamHandle handle) override {
        auto stream = find(handle);
        if (!stream) {
            fail(kErrHandle);
            return -1;
        }
        SetLastError(kErrOk);
        return static_cast<std::int64_t>(stream->mix().ring.totalRead());
    }

    bool ChannelSetPosition(StreamHandle handle, std::int64_t position) override {
        auto stream = find(handle);
        if (!stream) {
            return fail(kErrHandle);
        }
        if (t_inMixer) {
            return fail(kErrBusy);
        }
        // Under the mix lock this thread is the ring's only consumer, once
        // the reader has handed it over.
        std::lock_guard lock(m_mixMutex);
        MixChannel& mix = stream->mix();
        if (!mix.caughtUp.load(std::memory_order_acquire)) {
            return fail(kErrNotAvail);
        }
        const auto current = static_cast<std::int64_t>(mix.ring.totalRead());
        const std::int64_t frame = mix.frameBytes();
        const std::int64_t skip = (position - current) / frame * frame;
        if (position < current || skip > static_cast<std::int64_t>(mix.ring.readable())) {
            return fail(kErrPosition);
        }
        mix.ring.skip(static_cast<std::size_t>(skip));
        mix.signalSpace();
        return ok();
    }

    bool StreamFree(StreamHandle handle) override {
        if (t_inMixer) {
            return fail(kErrBusy);
        }
        return freeStream(handle) ? ok() : fail(kErrHandle);
    }

  private:
    // m_namesMutex held.
    void takeNames() {
        m_names = m_watcher.names(kFirstScanWait);
        m_names.emplace_back(kNullOutputName);
    }

    StreamHandle create(const std::string& url, bool hls, const std::atomic<bool>* abort) {
        if (!m_initialised.load()) {
            fail(kErrInit);
            return 0;
        }
        NetConfig config;
        {
            std::lock_guard lock(m_configMutex);
            config = m_config;
        }
        std::int32_t error = kErrOk;
        std::unique_ptr<InputSource> input = OpenInput(url, hls, config, abort, error);
        if (!input) {
            fail(error);
            return 0;
        }
        std::lock_guard lock(m_tableMutex);
        if (!m_initialised.load()) {
            fail(kErrInit);  // the device was closed while the stream opened
            return 0;
        }
        StreamHandle handle = 0;
        do {
            handle = m_nextHandle++;
        } while (handle == 0 || m_streams.count(handle) != 0);
        auto stream = std::make_shared<UrlStream>(handle, std::move(input), config, &m_rejoins);
        stream->startReader();
        m_streams.emplace(handle, std::move(stream));
        ok();
        return handle;
    }

    std::shared_ptr<UrlStream> find(StreamHandle handle) {
        std::lock_guard lock(m_tableMutex);
        const auto it = m_streams.find(handle);
        return it == m_streams.end() ? nullptr : it->second;
    }

    static std::uint32_t nextId(std::atomic<std::uint32_t>& counter) {
        std::uint32_t id = 0;
        while (id == 0) {
            id = counter.fetch_add(1, std::memory_order_relaxed);
        }
        return id;
    }

    // Takes the stream out of the table and the mix; after this no DSP or sync
    // callback of it runs. Its reader ends and is joined on the janitor thread,
    // so the caller never waits for the network.
    bool freeStream(StreamHandle handle) {
        std::shared_ptr<UrlStream> stream;
        {
            std::lock_guard lock(m_tableMutex);
            const auto it = m_streams.find(handle);
            if (it == m_streams.end()) {
                return false;
            }
            stream = std::move(it->second);
            m_streams.erase(it);
        }
        std::unique_ptr<Mixer::Slot> slot;  // freed after the lock is let go
        {
            std::lock_guard lock(m_mixMutex);
            if (m_mixer) {
                slot = m_mixer->remove(&stream->mix());
            }
            stream->mix().dsps.clear();
            stream->freed = true;
        }
        slot.reset();
        stream->detachSyncs();
        stream->requestStop();
        {
            std::lock_guard lock(m_janitorMutex);
            m_retired.push_back(std::move(stream));
        }
        m_janitorWake.notify_all();
        return true;
    }

    // Runs on the mixer thread.
    void mixPeriods(std::int16_t* out, std::uint32_t periods) {
        t_inMixer = true;
        bool drained = false;
        {
            std::lock_guard lock(m_mixMutex);
            if (m_mixer) {
                m_mixer->mix(out, periods);
                drained = m_mixer->anyDrained();
                m_stalls.store(m_stallsBefore + m_mixer->stalls(), std::memory_order_relaxed);
            }
        }
        t_inMixer = false;
        if (drained && !m_autoFreePending.exchange(true)) {
            // Once per stream that ends: taking the lock here means the janitor
            // is either before its check of the flag or already waiting, so
            // the notice cannot fall between the two.
            { std::lock_guard lock(m_janitorMutex); }
            m_janitorWake.notify_all();
        }
    }

    void joinRetired() {
        std::vector<std::shared_ptr<UrlStream>> retired;
        {
            std::lock_guard lock(m_janitorMutex);
            retired.swap(m_retired);
        }
        for (auto& stream : retired) {
            stream->join();
        }
    }

    // Frees streams that ended and played out (auto-free), and joins the
    // readers of freed streams, off the callers' threads.
    void janitor() {
        pthread_setname_np(pthread_self(), "qvm-janitor");
        std::unique_lock lock(m_janitorMutex);
        while (!m_janitorStop) {
            // Sleeps until there is work: an idle relay must not wake for nothing.
            m_janitorWake.wait(lock, [this] {
                return m_janitorStop || !m_retired.empty() || m_autoFreePending.load();
            });
            lock.unlock();
            if (m_autoFreePending.exchange(false)) {
                std::vector<StreamHandle> ended;
                {
                    std::lock_guard tableLock(m_tableMutex);
                    for (const auto& [handle, stream] : m_streams) {
                        // A stream that ended with an error is left to its
                        // owner, who has to learn why (ChannelGetStats).
                        if (stream->mix().drained.load(std::memory_order_acquire) &&
                            stream->mix().error.load(std::memory_order_relaxed) == kErrOk) {
                            ended.push_back(handle);
                        }
                    }
                }
                for (StreamHandle handle : ended) {
                    freeStream(handle);
                }
            }
            joinRetired();
            lock.lock();
        }
    }

    // Lock order: m_deviceMutex, then m_tableMutex or m_mixMutex (never both
    // at once), then m_janitorMutex.
    std::mutex m_deviceMutex;
    DeviceWatcher m_watcher;
    std::mutex m_namesMutex;
    std::vector<std::string> m_names;              // as last asked for; m_namesMutex
    std::unique_ptr<OutputDevice> m_output;        // m_deviceMutex
    bool m_outputIsPortAudio = false;              // m_deviceMutex
    std::atomic<bool> m_deviceLost{false};         // written by the mixer thread
    std::atomic<std::uint64_t> m_deviceLosses{0};  // written by the mixer thread
    std::atomic<bool> m_initialised{false};

    std::mutex m_mixMutex;
    std::unique_ptr<Mixer> m_mixer;               // m_mixMutex
    std::uint64_t m_stallsBefore = 0;             // stalls of mixers gone; m_deviceMutex
    std::atomic<std::uint64_t> m_stalls{0};       // written by the mixer thread
    std::atomic<std::uint64_t> m_rejoins{0};      // written by the readers
    std::atomic<std::uint64_t> m_latePeriods{0};  // written by the mixer thread

    std::mutex m_tableMutex;
    std::unordered_map<StreamHandle, std::shared_ptr<UrlStream>> m_streams;  // m_tableMutex
    StreamHandle m_nextHandle = 1;                                           // m_tableMutex

    std::mutex m_configMutex;
    NetConfig m_config;  // m_configMutex

    std::atomic<std::uint32_t> m_nextDsp{1};
    std::atomic<std::uint32_t> m_nextSync{1};

    std::mutex m_janitorMutex;
    std::condition_variable m_janitorWake;
    std::vector<std::shared_ptr<UrlStream>> m_retired;  // m_janitorMutex
    bool m_janitorStop = false;                         // m_janitorMutex
    std::atomic<bool> m_autoFreePending{false};
    std::thread m_janitor;
};

}  // namespace

std::unique_ptr<IAudioEngine> CreateAudioEngine() {
    return std::make_unique<Engine>();
}

}  // namespace qvm::audio
