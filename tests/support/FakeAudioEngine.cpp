#include "support/FakeAudioEngine.h"

#include <algorithm>
#include <chrono>

namespace qvm::test {

using namespace qvm::audio;

namespace {
thread_local std::int32_t t_error = kErrOk;
}

bool FakeAudioEngine::fail(std::int32_t code) {
    t_error = code;
    return code == kErrOk;
}

void FakeAudioEngine::record(const std::string& op, StreamHandle stream, double value) {
    m_calls.push_back({op, stream, value});
}

FakeAudioEngine::Stream* FakeAudioEngine::find(StreamHandle stream) {
    const auto it = m_streams.find(stream);
    return it == m_streams.end() ? nullptr : &it->second;
}

const FakeAudioEngine::Stream* FakeAudioEngine::find(StreamHandle stream) const {
    const auto it = m_streams.find(stream);
    return it == m_streams.end() ? nullptr : &it->second;
}

// --- scripting ---

void FakeAudioEngine::scriptOpen(OpenScript script) {
    std::lock_guard lock(m_mutex);
    m_scripts.push_back(std::move(script));
}

void FakeAudioEngine::releaseOpens() {
    std::lock_guard lock(m_mutex);
    ++m_releaseCount;
    m_released.notify_all();
}

int FakeAudioEngine::blockedOpens() const {
    std::lock_guard lock(m_mutex);
    return m_blocked;
}

void FakeAudioEngine::setDevices(std::vector<std::string> names) {
    std::lock_guard lock(m_mutex);
    m_devices = std::move(names);
}

void FakeAudioEngine::refuseRate(std::uint32_t freq) {
    std::lock_guard lock(m_mutex);
    m_refusedRates.insert(freq);
}

void FakeAudioEngine::setVersionMismatch(std::string library) {
    std::lock_guard lock(m_mutex);
    m_versionMismatch = std::move(library);
}

void FakeAudioEngine::setFill(StreamHandle stream, std::int64_t buffer, std::int64_t end) {
    std::lock_guard lock(m_mutex);
    if (Stream* s = find(stream)) {
        s->state.buffer = buffer;
        s->state.end = end;
    }
}

void FakeAudioEngine::setConnected(StreamHandle stream, bool connected) {
    std::lock_guard lock(m_mutex);
    if (Stream* s = find(stream)) {
        s->state.connected = connected;
    }
}

void FakeAudioEngine::setTags(StreamHandle stream, TagKind kind, std::vector<std::string> lines) {
    std::lock_guard lock(m_mutex);
    if (Stream* s = find(stream)) {
        if (kind == TagKind::Icy) {
            s->state.icy = std::move(lines);
        } else if (kind == TagKind::Http) {
            s->state.http = std::move(lines);
        } else {
            s->state.meta = lines.empty() ? std::string() : lines.front();
        }
    }
}

void FakeAudioEngine::setLevel(StreamHandle stream, std::uint32_t level) {
    std::lock_guard lock(m_mutex);
    if (Stream* s = find(stream)) {
        s->level = level;
    }
}

void FakeAudioEngine::setPosition(StreamHandle stream, std::int64_t position) {
    std::lock_guard lock(m_mutex);
    if (Stream* s = find(stream)) {
        s->position = position;
    }
}

void FakeAudioEngine::setMeta(StreamHandle stream, std::string meta) {
    std::vector<std::pair<SyncHandle, std::pair<SyncProc, void*>>> syncs;
    {
        std::lock_guard lock(m_mutex);
        Stream* s = find(stream);
        if (s == nullptr) {
            return;
        }
        s->state.meta = std::move(meta);
        syncs.assign(s->syncs.begin(), s->syncs.end());
    }
    // Outside the lock: a callback may call back into the engine.
    for (const auto& [handle, sync] : syncs) {
        sync.first(handle, stream, sync.second);
    }
}

bool FakeAudioEngine::feedDsp(StreamHandle stream, std::vector<std::int16_t>& block) {
    std::vector<std::pair<DspHandle, std::pair<DspProc, void*>>> dsps;
    {
        std::lock_guard lock(m_mutex);
        const Stream* s = find(stream);
        if (s == nullptr || s->dsps.empty()) {
            return false;
        }
        dsps.assign(s->dsps.begin(), s->dsps.end());
    }
    for (const auto& [handle, dsp] : dsps) {
        dsp.first(handle, stream, block.data(), static_cast<std::uint32_t>(block.size() * 2),
                  dsp.second);
    }
    return true;
}

void FakeAudioEngine::endStream(StreamHandle stream) {
    std::lock_guard lock(m_mutex);
    m_streams.erase(stream);
}

// --- inspection ---

std::vector<FakeAudioEngine::Call> FakeAudioEngine::calls() const {
    std::lock_guard lock(m_mutex);
    return m_calls;
}

std::vector<FakeAudioEngine::Call> FakeAudioEngine::calls(const std::string& op) const {
    std::lock_guard lock(m_mutex);
    std::vector<Call> out;
    std::copy_if(m_calls.begin(), m_calls.end(), std::back_inserter(out),
                 [&op](const Call& c) { return c.op == op; });
    return out;
}

std::vector<FakeAudioEngine::Opened> FakeAudioEngine::opened() const {
    std::lock_guard lock(m_mutex);
    return m_opened;
}

bool FakeAudioEngine::exists(StreamHandle stream) const {
    std::lock_guard lock(m_mutex);
    return find(stream) != nullptr;
}

bool FakeAudioEngine::playing(StreamHandle stream) const {
    std::lock_guard lock(m_mutex);
    const Stream* s = find(stream);
    return s != nullptr && s->playing;
}

float FakeAudioEngine::volume(StreamHandle stream) const {
    std::lock_guard lock(m_mutex);
    const Stream* s = find(stream);
    return s != nullptr ? s->volume : -1.0f;
}

int FakeAudioEngine::dspCount(StreamHandle stream) const {
    std::lock_guard lock(m_mutex);
    const Stream* s = find(stream);
    return s != nullptr ? static_cast<int>(s->dsps.size()) : 0;
}

int FakeAudioEngine::initDevice() const {
    std::lock_guard lock(m_mutex);
    return m_initDevice;
}

std::uint32_t FakeAudioEngine::initFreq() const {
    std::lock_guard lock(m_mutex);
    return m_initFreq;
}

NetConfig FakeAudioEngine::netConfig() const {
    std::lock_guard lock(m_mutex);
    return m_config;
}

// --- IAudioEngine ---

std::string FakeAudioEngine::VersionMismatch() {
    std::lock_guard lock(m_mutex);
    t_error = kErrOk;
    return m_versionMismatch;
}

bool FakeAudioEngine::GetDeviceInfo(int device, DeviceInfo& info) {
    std::lock_guard lock(m_mutex);
    if (device < 1 || device > static_cast<int>(m_devices.size())) {
        return fail(kErrDevice);
    }
    info.name = m_devices[static_cast<std::size_t>(device - 1)];
    return fail(kErrOk);
}

bool FakeAudioEngine::Init(int device, std::uint32_t freq) {
    std::lock_guard lock(m_mutex);
    if (m_initDevice != 0) {
        return fail(kErrAlready);
    }
    if (device < 1 || device > static_cast<int>(m_devices.size())) {
        return fail(kErrDevice);
    }
    if (m_refusedRates.count(freq) != 0) {
        return fail(kErrFreq);
    }
    m_initDevice = device;
    m_initFreq = freq;
    return fail(kErrOk);
}

void FakeAudioEngine::Free() {
    std::lock_guard lock(m_mutex);
    m_initDevice = 0;
    m_initFreq = 0;
    m_streams.clear();
    t_error = kErrOk;
}

void FakeAudioEngine::SetNetConfig(const NetConfig& config) {
    std::lock_guard lock(m_mutex);
    m_config = config;
    t_error = kErrOk;
}

void FakeAudioEngine::setHlsSupported(bool supported) {
    std::lock_guard lock(m_mutex);
    m_hlsSupported = supported;
}

bool FakeAudioEngine::HlsSupported() {
    std::lock_guard lock(m_mutex);
    return m_hlsSupported;
}

std::uint64_t FakeAudioEngine::DeviceUnderruns() {
    t_error = kErrOk;
    return 0;
}

audio::EngineStats FakeAudioEngine::GetStats() {
    std::lock_guard lock(m_mutex);
    audio::EngineStats stats;
    for (const auto& [handle, stream] : m_streams) {
        stats.stalls += stream.stats.stalls;
    }
    stats.latePeriods = m_latePeriods;
    stats.deviceLost = m_deviceLost;
    stats.deviceLosses = m_deviceLosses;
    t_error = kErrOk;
    return stats;
}

void FakeAudioEngine::setDeviceLost(bool lost) {
    std::lock_guard lock(m_mutex);
    if (lost && !m_deviceLost) {
        ++m_deviceLosses;
    }
    m_deviceLost = lost;
}

void FakeAudioEngine::setLatePeriods(std::uint64_t periods) {
    std::lock_guard lock(m_mutex);
    m_latePeriods = periods;
}

bool FakeAudioEngine::ChannelGetStats(StreamHandle stream, audio::StreamStats& stats) {
    std::lock_guard lock(m_mutex);
    const Stream* s = find(stream);
    if (s == nullptr) {
        return fail(kErrHandle);
    }
    stats = s->stats;
    return fail(kErrOk);
}

void FakeAudioEngine::setStats(StreamHandle stream, audio::StreamStats stats) {
    std::lock_guard lock(m_mutex);
    if (Stream* s = find(stream)) {
        s->stats = stats;
    }
}

StreamHandle FakeAudioEngine::StreamCreateURL(const std::string& url,
                                              const std::atomic<bool>* abort) {
    return open(url, false, abort);
}

StreamHandle FakeAudioEngine::HlsStreamCreateURL(const std::string& url,
                                                 const std::atomic<bool>* abort) {
    return open(url, true, abort);
}

StreamHandle FakeAudioEngine::open(const std::string& url, bool hls,
                                   const std::atomic<bool>* abort) {
    std::unique_lock lock(m_mutex);
    m_opened.push_back({url, hls});
    OpenScript script;
    if (!m_scripts.empty()) {
        script = std::move(m_scripts.front());
        m_scripts.erase(m_scripts.begin());
    }
    if (script.block) {
        ++m_blocked;
        const std::uint64_t release = m_releaseCount;
        // The abort flag is a plain atomic nobody notifies: look at it often.
        while (m_releaseCount == release && !(abort != nullptr && abort->load())) {
            m_released.wait_for(lock, std::chrono::milliseconds(2));
        }
        --m_blocked;
        if (m_releaseCount == release) {
            fail(kErrFileOpen);
            return 0;
        }
    }
    if (script.error != kErrOk) {
        fail(script.error);
        return 0;
    }
    const StreamHandle handle = m_nextHandle++;
    m_streams[handle].state = std::move(script);
    fail(kErrOk);
    return handle;
}

std::int32_t FakeAudioEngine::ErrorGetCode() {
    return t_error;
}

bool FakeAudioEngine::ChannelGetInfo(StreamHandle stream, ChannelInfo& info) {
    std::lock_guard lock(m_mutex);
    const Stream* s = find(stream);
    if (s == nullptr) {
        return fail(kErrHandle);
    }
    info = s->state.info;
    return fail(kErrOk);
}

bool FakeAudioEngine::ChannelGetTags(StreamHandle stream, TagKind kind,
                                     std::vector<std::string>& lines) {
    std::lock_guard lock(m_mutex);
    lines.clear();
    const Stream* s = find(stream);
    if (s == nullptr) {
        return fail(kErrHandle);
    }
    if (kind == TagKind::Icy) {
        lines = s->state.icy;
    } else if (kind == TagKind::Http) {
        lines = s->state.http;
    } else if (!s->state.meta.empty()) {
        lines.push_back(s->state.meta);
    }
    return fail(lines.empty() ? kErrNotAvail : kErrOk);
}

SyncHandle FakeAudioEngine::ChannelSetSync(StreamHandle stream, SyncProc proc, void* user) {
    std::lock_guard lock(m_mutex);
    Stream* s = find(stream);
    if (s == nullptr) {
        fail(kErrHandle);
        return 0;
    }
    const SyncHandle sync = m_nextId++;
    s->syncs[sync] = {proc, user};
    record("SetSync", stream, sync);
    fail(kErrOk);
    return sync;
}

DspHandle FakeAudioEngine::ChannelSetDSP(StreamHandle stream, DspProc proc, void* user, int) {
    std::lock_guard lock(m_mutex);
    Stream* s = find(stream);
    if (s == nullptr) {
        fail(kErrHandle);
        return 0;
    }
    const DspHandle dsp = m_nextId++;
    s->dsps[dsp] = {proc, user};
    record("SetDSP", stream, dsp);
    fail(kErrOk);
    return dsp;
}

bool FakeAudioEngine::ChannelRemoveDSP(StreamHandle stream, DspHandle dsp) {
    std::lock_guard lock(m_mutex);
    record("RemoveDSP", stream, dsp);
    Stream* s = find(stream);
    if (s == nullptr || s->dsps.erase(dsp) == 0) {
        return fail(kErrHandle);
    }
    return fail(kErrOk);
}

bool FakeAudioEngine::ChannelSetVolume(StreamHandle stream, float volume) {
    std::lock_guard lock(m_mutex);
    record("SetVolume", stream, volume);
    Stream* s = find(stream);
    if (s == nullptr) {
        return fail(kErrHandle);
    }
    s->volume = std::clamp(volume, 0.0f, 1.0f);
    return fail(kErrOk);
}

bool FakeAudioEngine::ChannelPlay(StreamHandle stream) {
    std::lock_guard lock(m_mutex);
    record("Play", stream, 0);
    Stream* s = find(stream);
    if (s == nullptr) {
        return fail(kErrHandle);
    }
    s->playing = true;
    return fail(kErrOk);
}

std::int64_t FakeAudioEngine::StreamGetFilePosition(StreamHandle stream, FilePos what) {
    std::lock_guard lock(m_mutex);
    const Stream* s = find(stream);
    if (s == nullptr) {
        fail(kErrHandle);
        return -1;
    }
    fail(kErrOk);
    switch (what) {
        case FilePos::Connected:
            return s->state.connected ? 1 : 0;
        case FilePos::End:
            return s->state.end;
        case FilePos::Buffer:
            return s->state.buffer;
    }
    return -1;
}

std::uint32_t FakeAudioEngine::ChannelGetLevel(StreamHandle stream) {
    std::lock_guard lock(m_mutex);
    const Stream* s = find(stream);
    if (s == nullptr) {
        fail(kErrHandle);
        return 0xFFFFFFFFu;
    }
    fail(kErrOk);
    return s->level;
}

std::int64_t FakeAudioEngine::ChannelGetPosition(StreamHandle stream) {
    std::lock_guard lock(m_mutex);
    const Stream* s = find(stream);
    if (s == nullptr) {
        fail(kErrHandle);
        return -1;
    }
    fail(kErrOk);
    return s->position;
}

bool FakeAudioEngine::ChannelSetPosition(StreamHandle stream, std::int64_t position) {
    std::lock_guard lock(m_mutex);
    record("SetPosition", stream, static_cast<double>(position));
    Stream* s = find(stream);
    if (s == nullptr) {
        return fail(kErrHandle);
    }
    if (position < s->position || position - s->position > s->state.buffer) {
        return fail(kErrPosition);
    }
    s->state.buffer -= position - s->position;
    s->position = position;
    return fail(kErrOk);
}

bool FakeAudioEngine::StreamFree(StreamHandle stream) {
    std::lock_guard lock(m_mutex);
    record("Free", stream, 0);
    return fail(m_streams.erase(stream) != 0 ? kErrOk : kErrHandle);
}

}  // namespace qvm::test
