#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "audio/AudioEngine.h"

namespace qvm::test {

// A scripted stand-in for the audio engine, for deterministic channel and
// device start-up tests. It has no threads of its own: an open runs on the
// caller's thread (and may be told to block there), and callbacks run when the
// test asks for them, on the test's thread. Every member is thread-safe.
class FakeAudioEngine final : public audio::IAudioEngine {
  public:
    // What the next open returns. Scripts are used in order; with none left,
    // opens succeed with the defaults below.
    struct OpenScript {
        std::int32_t error = audio::kErrOk;  // not kErrOk: the open fails with it
        bool block = false;  // wait for releaseOpens() or the abort flag (then kErrFileOpen)
        audio::ChannelInfo info{44100, 2};
        std::vector<std::string> icy;
        std::vector<std::string> http;
        std::string meta;
        std::int64_t end = 176400;  // FilePos::End
        std::int64_t buffer = 0;    // FilePos::Buffer
        bool connected = true;
    };

    struct Call {
        std::string
            op;  // "SetVolume", "Play", "Free", "RemoveDSP", "SetDSP", "SetSync", "SetPosition"
        audio::StreamHandle stream = 0;
        double value = 0;  // the volume, DSP handle or position
    };

    struct Opened {
        std::string url;
        bool hls = false;
    };

    // --- scripting ---
    void scriptOpen(OpenScript script);
    void releaseOpens();
    int blockedOpens() const;
    void setDevices(std::vector<std::string> names);  // default: {"Null output"}
    void refuseRate(std::uint32_t freq);              // Init at this rate fails with kErrFreq
    void setVersionMismatch(std::string library);
    void setHlsSupported(bool supported);  // default: true

    void setFill(audio::StreamHandle stream, std::int64_t buffer, std::int64_t end);
    void setConnected(audio::StreamHandle stream, bool connected);
    void setTags(audio::StreamHandle stream, audio::TagKind kind, std::vector<std::string> lines);
    void setLevel(audio::StreamHandle stream, std::uint32_t level);
    void setPosition(audio::StreamHandle stream, std::int64_t position);
    // Sets the metadata text and calls the stream's sync callbacks.
    void setMeta(audio::StreamHandle stream, std::string meta);
    // Calls the stream's DSP callbacks on `block` in place, as the mixer would;
    // false when none is installed.
    bool feedDsp(audio::StreamHandle stream, std::vector<std::int16_t>& block);
    // The stream ends and frees itself: its handle becomes invalid.
    void endStream(audio::StreamHandle stream);
    // What ChannelGetStats reports for the stream.
    void setStats(audio::StreamHandle stream, audio::StreamStats stats);
    // What GetStats reports as late device periods.
    void setLatePeriods(std::uint64_t periods);
    // What GetStats reports of the device: lost (and counted) or back.
    void setDeviceLost(bool lost);

    // --- inspection ---
    std::vector<Call> calls() const;
    std::vector<Call> calls(const std::string& op) const;
    std::vector<Opened> opened() const;
    bool exists(audio::StreamHandle stream) const;
    bool playing(audio::StreamHandle stream) const;
    float volume(audio::StreamHandle stream) const;
    int dspCount(audio::StreamHandle stream) const;
    int initDevice() const;  // 0 while not initialised
    std::uint32_t initFreq() const;
    audio::NetConfig netConfig() const;

    // --- IAudioEngine ---
    std::string VersionMismatch() override;
    bool GetDeviceInfo(int device, audio::DeviceInfo& info) override;
    bool Init(int device, std::uint32_t freq) override;
    void Free() override;
    void SetNetConfig(const audio::NetConfig& config) override;
    std::uint64_t DeviceUnderruns() override;
    audio::EngineStats GetStats() override;
    bool HlsSupported() override;
    audio::StreamHandle StreamCreateURL(const std::string& url,
                                        const std::atomic<bool>* abort) override;
    audio::StreamHandle HlsStreamCreateURL(const std::string& url,
                                           const std::atomic<bool>* abort) override;
    std::int32_t ErrorGetCode() override;
    bool ChannelGetInfo(audio::StreamHandle stream, audio::ChannelInfo& info) override;
    bool ChannelGetTags(audio::StreamHandle stream, audio::TagKind kind,
                        std::vector<std::string>& lines) override;
    audio::SyncHandle ChannelSetSync(audio::StreamHandle stream, audio::SyncProc proc,
                                     void* user) override;
    audio::DspHandle ChannelSetDSP(audio::StreamHandle stream, audio::DspProc proc, void* user,
                                   int priority) override;
    bool ChannelRemoveDSP(audio::StreamHandle stream, audio::DspHandle dsp) override;
    bool ChannelSetVolume(audio::StreamHandle stream, float volume) override;
    bool ChannelPlay(audio::StreamHandle stream) override;
    std::int64_t StreamGetFilePosition(audio::StreamHandle stream, audio::FilePos what) override;
    bool ChannelGetStats(audio::StreamHandle stream, audio::StreamStats& stats) override;
    std::uint32_t ChannelGetLevel(audio::StreamHandle stream) override;
    std::int64_t ChannelGetPosition(audio::StreamHandle stream) override;
    bool ChannelSetPosition(audio::StreamHandle stream, std::int64_t position) override;
    bool StreamFree(audio::StreamHandle stream) override;

  private:
    struct Stream {
        OpenScript state;
        bool playing = false;
        float volume = 1.0f;
        std::uint32_t level = 0;
        std::int64_t position = 0;
        audio::StreamStats stats;
        std::map<audio::DspHandle, std::pair<audio::DspProc, void*>> dsps;
        std::map<audio::SyncHandle, std::pair<audio::SyncProc, void*>> syncs;
    };

    audio::StreamHandle open(const std::string& url, bool hls, const std::atomic<bool>* abort);
    Stream* find(audio::StreamHandle stream);  // m_mutex held
    const Stream* find(audio::StreamHandle stream) const;
    bool fail(std::int32_t code);
    void record(const std::string& op, audio::StreamHandle stream, double value);

    mutable std::mutex m_mutex;
    std::condition_variable m_released;
    std::uint64_t m_releaseCount = 0;
    int m_blocked = 0;
    std::vector<OpenScript> m_scripts;
    std::vector<Opened> m_opened;
    std::map<audio::StreamHandle, Stream> m_streams;
    audio::StreamHandle m_nextHandle = 1;
    std::uint32_t m_nextId = 1;
    std::vector<std::string> m_devices{"Null output"};
    std::set<std::uint32_t> m_refusedRates;
    std::string m_versionMismatch;
    bool m_hlsSupported = true;
    std::uint64_t m_latePeriods = 0;
    bool m_deviceLost = false;
    std::uint64_t m_deviceLosses = 0;
    int m_initDevice = 0;
    std::uint32_t m_initFreq = 0;
    audio::NetConfig m_config;
    std::vector<Call> m_calls;
};

}  // namespace qvm::test
