#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/AudioEngine.h"
#include "audio/Mixer.h"
#include "audio/NetInput.h"
#include "audio/Splice.h"

struct SwrContext;
struct AVFrame;

namespace qvm::audio {

// One open URL stream: its reader thread decodes into the PCM ring of its
// MixChannel; it keeps the header lines and the latest metadata text and calls
// the sync callbacks on the reader thread when that text changes.
//
// A live stream's connect burst (seconds of the past a server sends at once,
// or the segments an HLS playlist starts behind live) is taken as fast as it
// comes, and until the reader has caught up with the live edge the ring keeps
// only the newest buffer length of it: the buffer fills at once without
// putting the stream that much further behind live, and nothing is left
// queued in the socket, where a sender running fast could not be seen. The
// mixer takes the ring only from then on.
//
// Back-pressure, once it plays: when the ring is full the reader stops reading
// and waits on the ring's space signal (woken by the mixer after each block
// it takes), so it neither spins nor drops audio; meanwhile a live stream's
// bytes queue up in the socket and in the server, the way a relay behind its
// listeners behaves. A read time-out therefore only runs while the reader
// actually waits for the network.
//
// A live stream whose connection ends while its ring still plays is connected
// again at once, in the background: the ring plays on, and the new
// connection's audio is lined up with the old one's (SpliceFinder), so that
// the listener hears neither the past seconds the server sends again on
// connect nor a gap. Only when no new connection can be had before the ring
// runs dry does the reader end, as it would without this.
class UrlStream final : private ReadPacer {
  public:
    // `rejoins` counts restored connections over the whole engine.
    UrlStream(StreamHandle handle, std::unique_ptr<InputSource> input, const NetConfig& config,
              std::atomic<std::uint64_t>* rejoins = nullptr);
    ~UrlStream();
    UrlStream(const UrlStream&) = delete;
    UrlStream& operator=(const UrlStream&) = delete;

    StreamHandle handle() const { return m_handle; }
    MixChannel& mix() { return m_mix; }
    ChannelInfo info() const { return {m_mix.rate, m_mix.chans}; }
    bool connected() const { return m_connected.load(std::memory_order_acquire); }
    bool tags(TagKind kind, std::vector<std::string>& lines) const;

    void addSync(SyncHandle sync, SyncProc proc, void* user);
    // After this returns no sync callback of the stream runs any more (when
    // called from one of them, none starts after the current one).
    void detachSyncs();

    void startReader();
    // Asks the reader to end (its blocking read gives up within ~100 ms).
    void requestStop();
    // Waits for the reader to end and releases the connection and decoder.
    void join();

    // Guarded by the engine's mix lock: set once the handle was freed, so that
    // a call racing with the free cannot put the stream back into the mix.
    bool freed = false;

  private:
    struct Sync {
        SyncHandle handle;
        SyncProc proc;
        void* user;
    };

    // Tells the connect burst from the live edge: whether, over the last
    // window, the audio decoded has grown little more than the time passed.
    class BurstWatch {
      public:
        void reset();
        bool atLiveEdge(std::chrono::steady_clock::time_point now, double decodedSeconds);

      private:
        std::chrono::steady_clock::time_point m_firstAt{};
        std::deque<std::pair<std::chrono::steady_clock::time_point, double>> m_leads;
    };

    void run();
    // Reads the current connection until it ends; true when it ended by
    // itself (not a stop, not junk), with everything it held decoded.
    bool readConnection();
    void beforeNetworkRead() override;
    void deliver(const AVFrame* frame);
    void receiveFrames();
    // Where decoded audio goes: the ring, or while a new connection is being
    // lined up, the pending audio.
    void take(const std::uint8_t* data, std::size_t bytes);
    void commit(const std::uint8_t* data, std::size_t bytes);
    void writeRing(const std::uint8_t* data, std::size_t bytes);
    // After a lost connection: connects again while the ring plays; false
    // when that cannot be done before it runs dry.
    bool rejoin();
    void continueRejoin();
    // Joins the pending audio onto the ring: after the old audio's last frame
    // when it was found in it, else as it is, across the gap.
    void finishRejoin();
    std::chrono::milliseconds ringLeft() const;
    // Waits, or less when a stop comes; false on a stop.
    bool restFor(std::chrono::milliseconds pause);
    void trimBurst(std::size_t incoming);
    // After each read: decides whether the connect burst has been taken.
    void noteProgress();
    // After each read: whether, over the last window, far more came in than
    // the audio it decoded to.
    bool yieldsNoAudio();
    void checkMeta();
    void fireSyncs();

    const StreamHandle m_handle;
    // Set by requestStop(); every connection's Interrupter polls it.
    std::atomic<bool> m_stop{false};
    std::unique_ptr<InputSource> m_input;  // reader thread only, once it runs
    const NetConfig m_config;
    const std::string m_url;
    const bool m_hls;
    const std::uint32_t m_readTimeoutMs;
    MixChannel m_mix;
    // Reader thread: telling the connect burst from the live edge.
    const std::size_t m_maxTrimBytes;
    std::size_t m_trimmedBytes = 0;
    std::uint64_t m_decodedFrames = 0;
    BurstWatch m_burst;
    // Reader thread: lining up a new connection after a lost one.
    std::atomic<std::uint64_t>* const m_rejoinTotal;
    AudioTail m_tail;  // the newest audio handed to the ring
    SpliceFinder m_finder;
    BurstWatch m_rejoinBurst;
    bool m_rejoining = false;
    std::vector<std::int16_t> m_pending;  // the new connection's audio while rejoining
    std::size_t m_skipFrames = 0;         // new audio still to drop: the ring has it
    std::chrono::steady_clock::time_point m_lostAt{};
    std::chrono::steady_clock::duration m_searchTime{};
    // Reader thread: telling audio from junk.
    std::uint64_t m_packetBytes = 0;
    std::chrono::steady_clock::time_point m_junkWindowStart{};
    std::uint64_t m_junkBytesAtStart = 0;
    std::uint64_t m_junkFramesAtStart = 0;
    std::atomic<bool> m_connected{true};

    // Reader-thread conversion to 16-bit at the stream's rate and channels.
    SwrContext* m_swr = nullptr;
    int m_swrFormat = -1;
    int m_swrRate = 0;
    int m_swrChans = 0;
    std::vector<std::uint8_t> m_pcm;
    AVFrame* m_frame = nullptr;

    mutable std::mutex m_tagMutex;
    std::string m_meta;  // m_tagMutex
    const std::vector<std::string> m_icy;
    const std::vector<std::string> m_http;

    std::mutex m_syncMutex;  // held while the callbacks run
    std::vector<Sync> m_syncs;
    std::atomic<bool> m_syncsDetached{false};

    // Lets requestStop() cut the reader's pacing nap short.
    const std::chrono::milliseconds m_nap;
    std::mutex m_napMutex;
    std::condition_variable m_napWake;
    bool m_napStop = false;  // m_napMutex

    std::thread m_reader;
    std::atomic<std::thread::id> m_readerId{};
};

}  // namespace qvm::audio
