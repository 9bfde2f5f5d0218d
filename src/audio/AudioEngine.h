#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace qvm::audio {

// Handles are ids looked up in a table, never pointers: a freed or auto-freed
// stream is simply an invalid handle. 0 is never a valid handle.
using StreamHandle = std::uint32_t;
using DspHandle = std::uint32_t;
using SyncHandle = std::uint32_t;

// Error codes. The numbers are those the channel turns into its error texts.
enum ErrorCode : std::int32_t {
    kErrUnknown = -1,  // some other mystery problem
    kErrOk = 0,
    kErrMemory = 1,
    kErrFileOpen = 2,  // can't open the stream (refused, unknown host, HTTP error status, playlist
                       // without a playable entry)
    kErrDriver = 3,    // no free sound driver
    kErrBufLost = 4,
    kErrHandle = 5,  // invalid handle
    kErrFormat = 6,  // unsupported sample format
    kErrPosition = 7,
    kErrInit = 8,  // the device has not been opened
    kErrStart = 9,
    kErrAlready = 14,
    kErrNoChan = 18,
    kErrIllType = 19,
    kErrIllParam = 20,
    kErrDevice = 23,  // illegal device number
    kErrNoPlay = 24,
    kErrFreq = 25,   // illegal sample rate
    kErrNoNet = 32,  // no internet connection could be opened
    kErrNotAvail = 37,
    kErrTimeout = 40,   // connection timed out
    kErrFileForm = 41,  // server down or unsupported file format (HTML instead of audio)
    kErrCodec = 44,     // codec not available/supported
    kErrEnded = 45,
    kErrBusy = 46,
};

struct DeviceInfo {
    std::string name;
};

struct ChannelInfo {
    std::uint32_t freq = 0;   // the stream's own sample rate
    std::uint32_t chans = 0;  // the stream's own channel count
};

enum class FilePos {
    Connected,  // 1 while the reader's connection lives, else 0
    End,        // the buffer length in bytes (the "file length" the fill is measured against)
    Buffer,     // bytes of 16-bit PCM now in the ring, up to End
};

enum class TagKind {
    Icy,   // ICY header lines ("icy-name:…", "icy-br:…"), empty when the server sent none
    Http,  // the HTTP response header lines
    Meta,  // the latest metadata text, e.g. StreamTitle='…';StreamUrl='';
};

// What the engine as a whole has met since it started.
struct EngineStats {
    std::uint64_t stalls = 0;       // times a playing stream ran dry
    std::uint64_t latePeriods = 0;  // periods the device played without a mix ready
    bool deviceLost = false;        // the open device stopped taking the mix; reopened when back
    std::uint64_t deviceLosses = 0;
    std::uint64_t deviceScans = 0;  // listings of the sound devices so far
    std::uint64_t rejoins = 0;      // lost connections restored before a ring ran dry
};

// What one stream has met so far.
struct StreamStats {
    std::uint32_t stalls = 0;  // times its ring ran dry while it played
    double ratio = 1.0;        // the rate it is taken at against its nominal rate
    std::int32_t error = 0;    // why its reader gave up, when that was an error
    // Its connection was lost and restored while the ring still played: the
    // new connection's audio continues the old one's where it ended...
    std::uint32_t rejoins = 0;
    // ...except these, where the two could not be lined up (a server that
    // sends no past audio, or an outage longer than what it sends): a short
    // gap, bridged without a click.
    std::uint32_t rejoinGaps = 0;
    // The latest of them: from the loss to the join, and the time spent
    // looking for where the new audio continues the old.
    std::uint32_t rejoinMs = 0;
    std::uint32_t spliceSearchUs = 0;
};

// Network options, taken from the settings at device start-up.
struct NetConfig {
    std::uint32_t bufferMs = 1000;       // PCM ring length per stream
    std::uint32_t timeoutMs = 5000;      // connect time-out
    std::uint32_t readTimeoutMs = 5000;  // read time-out
    std::string userAgent = "QVMirelta";
};

// Runs on the mixer thread with the stream's native-format block (interleaved
// signed 16-bit, the stream's own rate and channel count), writable in place.
// `length` is in bytes. Must not block.
using DspProc = void (*)(DspHandle dsp, StreamHandle stream, void* buffer, std::uint32_t length,
                         void* user);
// Runs on the stream's reader thread when the metadata text changes. Must not block.
using SyncProc = void (*)(SyncHandle sync, StreamHandle stream, void* user);

// The engine: URL streams decoded into PCM rings, one mixer per device, output
// through PortAudio or the built-in "Null output". Every call is thread-safe;
// the error code of the last failed call is kept per calling thread.
class IAudioEngine {
  public:
    virtual ~IAudioEngine() = default;

    // Empty when the FFmpeg libraries loaded at run time have the major
    // versions the engine was built against; otherwise the name of the first
    // one that differs (for example "libavcodec.so.59"), for the error box.
    virtual std::string VersionMismatch() = 0;
    // Output devices numbered from 1: PortAudio's output devices in its order,
    // then "Null output". Asking for device 1 takes the latest listing; the
    // devices are listed again in the background while the list is asked for,
    // so this never waits for PortAudio, but for the very first listing.
    virtual bool GetDeviceInfo(int device, DeviceInfo& info) = 0;
    // Opens the device at the sample rate; false (kErrDevice, kErrFreq, kErrDriver, kErrAlready) on
    // failure.
    virtual bool Init(int device, std::uint32_t freq) = 0;
    // Closes the device; every stream is freed.
    virtual void Free() = 0;
    virtual void SetNetConfig(const NetConfig& config) = 0;
    // True when HLS playlists can be opened (the decoder library has its HLS
    // demuxer).
    virtual bool HlsSupported() = 0;
    // Periods the open device had to play without a mixed block ready (the
    // null output: periods mixed more than one period late); 0 without a device.
    virtual std::uint64_t DeviceUnderruns() = 0;
    virtual EngineStats GetStats() = 0;

    // Opens a URL on the calling thread (blocking, bounded by the time-outs).
    // HLS is chosen for URLs containing ".M3U8" (any case) by the *Hls call.
    // Playlist files (.pls, .m3u, .xspf) are resolved and their entries tried in
    // order. `abort`, when given, makes a pending open give up within 100 ms
    // once it becomes true. Returns 0 on failure (see ErrorGetCode).
    virtual StreamHandle StreamCreateURL(const std::string& url,
                                         const std::atomic<bool>* abort) = 0;
    virtual StreamHandle HlsStreamCreateURL(const std::string& url,
                                            const std::atomic<bool>* abort) = 0;
    // The error code of the calling thread's last failed call.
    virtual std::int32_t ErrorGetCode() = 0;

    virtual bool ChannelGetInfo(StreamHandle stream, ChannelInfo& info) = 0;
    // Header lines or the metadata text; false when there are none.
    virtual bool ChannelGetTags(StreamHandle stream, TagKind kind,
                                std::vector<std::string>& lines) = 0;
    // Calls `proc` on the reader thread whenever the metadata text changes.
    virtual SyncHandle ChannelSetSync(StreamHandle stream, SyncProc proc, void* user) = 0;
    // Installs a DSP callback; returns 0 on failure.
    virtual DspHandle ChannelSetDSP(StreamHandle stream, DspProc proc, void* user,
                                    int priority) = 0;
    // Returns only when no call of that callback can still be running or start.
    virtual bool ChannelRemoveDSP(StreamHandle stream, DspHandle dsp) = 0;
    // Output volume 0..1, ramped per sample from the previous value.
    virtual bool ChannelSetVolume(StreamHandle stream, float volume) = 0;
    // Starts mixing the stream into the device. A live stream whose reader
    // is still taking its server's connect burst (the past seconds a server
    // sends at once) stays silent until that is taken, a fraction of a
    // second, so that it plays its buffer length behind live.
    virtual bool ChannelPlay(StreamHandle stream) = 0;
    // -1 on failure (invalid handle). The buffer reads 0 while the stream is
    // stalled (it ran dry and waits for half its buffer to gather again), and
    // never more than End.
    virtual std::int64_t StreamGetFilePosition(StreamHandle stream, FilePos what) = 0;
    virtual bool ChannelGetStats(StreamHandle stream, StreamStats& stats) = 0;
    // Peaks of the latest mixed block, before volume, after DSP: left in the low
    // 16 bits, right in the high 16 bits, 0..32768; 0xFFFFFFFF on failure.
    virtual std::uint32_t ChannelGetLevel(StreamHandle stream) = 0;
    // Bytes of 16-bit PCM taken from the ring so far; -1 on failure.
    virtual std::int64_t ChannelGetPosition(StreamHandle stream) = 0;
    // Moving forward skips buffered audio; false when that much is not buffered.
    virtual bool ChannelSetPosition(StreamHandle stream, std::int64_t position) = 0;
    // Frees the stream; returns only when none of its callbacks can still run.
    // A stream that ends by itself frees itself; later calls on it fail with kErrHandle.
    virtual bool StreamFree(StreamHandle stream) = 0;
};

// The real engine (FFmpeg + PortAudio + the built-in null output).
std::unique_ptr<IAudioEngine> CreateAudioEngine();

}  // namespace qvm::audio
