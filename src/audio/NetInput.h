#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/AudioEngine.h"

struct AVFormatContext;
struct AVIOContext;
struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace qvm::audio {

// The deadlines and stop flags that FFmpeg's blocking calls poll through
// AVIOInterruptCB. FFmpeg calls check() from whichever thread runs the
// blocking call: the connect thread while opening, the reader afterwards.
// The abort flag belongs to the caller of the open and is dropped (set to
// null) before the open returns.
//
// Two deadlines: the step deadline, restarted for each step of an open or a
// read (a connection, a read that brought data), so that the time-out bounds
// each answer rather than a whole chain of redirects and playlists; and an
// optional cap on the whole open. Besides, while the flood guard is on, a
// peer that makes FFmpeg read without pause (an endless HTTP header sent as
// fast as the socket takes) is cut off after about a megabyte.
class Interrupter {
  public:
    enum class Reason { None, Deadline, Abort, Flood };

    // Restarts the step deadline `fromNow` ahead.
    void arm(std::chrono::milliseconds fromNow);
    // The length of a step; armStep() restarts the deadline with it.
    void setStepTimeout(std::chrono::milliseconds step) { m_stepMs.store(step.count()); }
    void armStep() { arm(std::chrono::milliseconds(m_stepMs.load())); }
    // A deadline for everything from now on; zero removes it.
    void setCap(std::chrono::milliseconds fromNow);
    void setFloodGuard(bool on);
    void setAbortFlag(const std::atomic<bool>* abort) { m_abort.store(abort); }
    void requestStop() { m_stop.store(true); }
    bool stopRequested() const { return m_stop.load(); }
    bool aborted() const;
    Reason reason() const { return static_cast<Reason>(m_reason.load()); }
    void clearReason() { m_reason.store(0); }

    static int check(void* self);

  private:
    bool flooded();

    std::atomic<std::int64_t> m_deadlineNs{0};  // steady clock; 0 = none
    std::atomic<std::int64_t> m_capNs{0};       // steady clock; 0 = none
    std::atomic<std::int64_t> m_stepMs{0};
    std::atomic<const std::atomic<bool>*> m_abort{nullptr};
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_reason{0};
    // Flood guard: touched only by the thread that runs the blocking call.
    bool m_floodGuard = false;
    std::int64_t m_lastCheckNs = 0;
    int m_rapidChecks = 0;
};

// Lets the stream's reader hold back a read from the network. Called on the
// reader thread before a read of the HTTP body that follows one which had to
// wait for data (the reader has caught up with the live edge).
class ReadPacer {
  public:
    virtual ~ReadPacer() = default;
    virtual void beforeNetworkRead() = 0;
};

// An opened, demuxed and decodable stream, with its first frame decoded.
// Owns every FFmpeg object of the stream; used by one thread at a time (the
// connect thread while opening, then the reader).
class InputSource {
  public:
    InputSource();
    ~InputSource();
    InputSource(const InputSource&) = delete;
    InputSource& operator=(const InputSource&) = delete;

    Interrupter& interrupter() { return *m_interrupter; }
    AVFormatContext* format() const { return m_format; }
    AVCodecContext* codec() const { return m_codec; }
    int streamIndex() const { return m_streamIndex; }
    // The frame decoded while opening; more may wait in the decoder.
    AVFrame* firstFrame() const { return m_firstFrame; }
    std::uint32_t rate() const { return m_rate; }
    std::uint32_t chans() const { return m_chans; }
    const std::vector<std::string>& icyLines() const { return m_icy; }
    const std::vector<std::string>& httpLines() const { return m_httpLines; }
    const std::string& meta() const { return m_meta; }

    // The latest ICY metadata packet ("StreamTitle='…';"), empty when none.
    std::string pollMeta() const;
    // Bytes of the HTTP body read so far (0 for HLS). Reader thread.
    std::uint64_t networkBytes() const;
    // Closes the connection and the demuxer once nothing more will be read:
    // a server whose stream has been given up on is not read any further,
    // also while the stream itself is kept for its owner. Reader thread.
    void closeNetwork();
    // A live stream (a radio's), not a file or a finished HLS playlist: it has
    // no known length.
    bool live() const { return m_live; }
    bool hls() const { return m_hls; }
    // The address the audio came from in the end (a playlist's entry rather
    // than the playlist), to connect to again.
    const std::string& url() const { return m_url; }

    // Installs the reader's pacer (null removes it). Only HTTP bodies are
    // paced: an HLS demuxer fetches whole segments and waits on its own.
    void setReadPacer(ReadPacer* pacer);

  private:
    friend class InputOpener;

    std::unique_ptr<Interrupter> m_interrupter;
    AVIOContext* m_http = nullptr;  // the HTTP connection (ICY options live here)
    AVIOContext* m_io = nullptr;    // what the demuxer reads (replays sniffed bytes)
    void* m_replay = nullptr;       // state behind m_io
    AVFormatContext* m_format = nullptr;
    AVCodecContext* m_codec = nullptr;
    AVFrame* m_firstFrame = nullptr;
    int m_streamIndex = -1;
    std::uint32_t m_rate = 0;
    std::uint32_t m_chans = 0;
    bool m_live = true;
    bool m_hls = false;
    std::string m_url;
    std::vector<std::string> m_icy;
    std::vector<std::string> m_httpLines;
    std::string m_meta;
};

// Sample rates the engine plays; others are an unsupported format.
inline constexpr std::uint32_t kMinPlayableRate = 8000;
inline constexpr std::uint32_t kMaxPlayableRate = 192000;
bool PlayableRate(std::uint32_t rate);

// The ICY header lines of FFmpeg's "icy_metadata_headers" block ("icy-name:
// Radio\nicy-br: 128\n"), as the server sent them ("icy-name:Radio"): one
// per line, without line ends (any CR before the LF included), the blank
// FFmpeg puts after the first colon removed, empty lines left out.
std::vector<std::string> IcyHeaderLines(const std::string& block);

// Opens a URL (HTTP/HTTPS stream, playlist file, or HLS when `hls`), within
// the configured time-outs; gives up within FFmpeg's 100 ms poll when `abort`
// turns true. On failure returns null and sets `error`. A non-zero `cap`
// bounds the whole open besides.
std::unique_ptr<InputSource> OpenInput(const std::string& url, bool hls, const NetConfig& config,
                                       const std::atomic<bool>* abort, std::int32_t& error,
                                       std::chrono::milliseconds cap = {});

}  // namespace qvm::audio
