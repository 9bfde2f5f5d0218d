#include <atomic>
#include <mutex>
#include <thread>

#include "EngineTestSupport.h"
#include "support/AudioAnalysis.h"
#include "support/HlsFixture.h"
#include "support/StreamServer.h"

namespace qvm::audio::test {
namespace {

using qvm::test::kForever;
using qvm::test::MountSpec;
using qvm::test::RefusingPort;
using qvm::test::Silence;
using qvm::test::Stall;
using qvm::test::StreamServer;
using qvm::test::Title;
using qvm::test::Tone;

class EngineStream : public EngineTest {};

// What a sync callback saw, from the reader thread.
struct MetaLog {
    std::mutex mutex;
    std::vector<std::string> texts;
    IAudioEngine* engine = nullptr;

    std::vector<std::string> snapshot() {
        std::lock_guard lock(mutex);
        return texts;
    }
    static void onMeta(SyncHandle, StreamHandle stream, void* user) {
        auto* log = static_cast<MetaLog*>(user);
        std::vector<std::string> lines;
        log->engine->ChannelGetTags(stream, TagKind::Meta, lines);
        std::lock_guard lock(log->mutex);
        log->texts.push_back(lines.empty() ? std::string() : lines.front());
    }
};

// Samples a DSP callback saw, in the stream's own format.
struct DspLog {
    std::mutex mutex;
    std::vector<std::int16_t> samples;
    std::atomic<int> calls{0};
    std::atomic<bool> oddLength{false};
    float gain = 1.0f;

    static void onBlock(DspHandle, StreamHandle, void* buffer, std::uint32_t length, void* user) {
        auto* log = static_cast<DspLog*>(user);
        log->calls.fetch_add(1);
        if (length % 2 != 0) {
            log->oddLength.store(true);
        }
        auto* s = static_cast<std::int16_t*>(buffer);
        std::lock_guard lock(log->mutex);
        log->samples.insert(log->samples.end(), s, s + length / 2);
        for (std::uint32_t i = 0; i < length / 2; ++i) {
            s[i] = static_cast<std::int16_t>(s[i] * log->gain);
        }
    }
};

bool hasLine(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST_F(EngineStream, IcyHeadersAndTitlesWithSyncCallbacks) {
    StreamServer server;
    const std::vector<std::string> titles = {
        "Artist - Song",
        "It's; a title with 'quotes'; and semicolons",
        "Third",
    };
    server.addMount("/icy.mp3",
                    MountSpec{.icyName = "QVM Test Radio",
                              .icyBr = 128,
                              .metaint = 8000,
                              .burstSeconds = 0.5,
                              .script = {Title{titles[0]}, Tone{440, 1.5}, Title{titles[1]},
                                         Tone{440, 1.5}, Title{titles[2]}, Tone{440, kLong}}});
    const StreamHandle stream = open(server.url("/icy.mp3"));
    ASSERT_NE(stream, 0u);

    std::vector<std::string> icy;
    ASSERT_TRUE(m_engine->ChannelGetTags(stream, TagKind::Icy, icy));
    EXPECT_TRUE(hasLine(icy, "icy-name:QVM Test Radio")) << testing::PrintToString(icy);
    EXPECT_TRUE(hasLine(icy, "icy-br:128")) << testing::PrintToString(icy);
    std::vector<std::string> http;
    ASSERT_TRUE(m_engine->ChannelGetTags(stream, TagKind::Http, http));
    EXPECT_TRUE(hasLine(http, "Content-Type: audio/mpeg")) << testing::PrintToString(http);

    MetaLog log;
    log.engine = m_engine.get();
    const StreamGuard guard(*m_engine, stream);
    ASSERT_NE(m_engine->ChannelSetSync(stream, &MetaLog::onMeta, &log), 0u);
    ASSERT_TRUE(m_engine->ChannelSetVolume(stream, 0.0f));
    ASSERT_TRUE(m_engine->ChannelPlay(stream));

    const std::string last = "StreamTitle='" + titles[2] + "';";
    ASSERT_TRUE(WaitUntil([&] { return hasLine(log.snapshot(), last); }, milliseconds(8000)))
        << testing::PrintToString(log.snapshot());
    // Every change was announced once, in order, and each text is whole.
    std::vector<std::string> seen = log.snapshot();
    const auto first = std::find(seen.begin(), seen.end(), "StreamTitle='" + titles[0] + "';");
    seen.erase(seen.begin(), first);
    std::vector<std::string> expected;
    for (const std::string& t : titles) {
        expected.push_back("StreamTitle='" + t + "';");
    }
    EXPECT_EQ(seen, expected);
    std::vector<std::string> meta;
    ASSERT_TRUE(m_engine->ChannelGetTags(stream, TagKind::Meta, meta));
    EXPECT_EQ(meta, std::vector<std::string>{last});
}

// HLS, both through the HLS call and found by its content type.
TEST_F(EngineStream, HlsPlays) {
    if (kUnderThreadSanitizer) {
        GTEST_SKIP() << kTsanProcessNote;
    }
    StreamServer server;
    // Longer than the ring holds, so that the reader is still connected.
    qvm::test::HlsFixture hls(server, {.toneHz = 660.0, .seconds = 30.0});
    ASSERT_TRUE(hls.start()) << hls.error();
    for (const bool hlsCall : {true, false}) {
        SCOPED_TRACE(hlsCall ? "HLS call" : "plain call");
        const StreamHandle stream = hlsCall ? m_engine->HlsStreamCreateURL(hls.url(), nullptr)
                                            : m_engine->StreamCreateURL(hls.url(), nullptr);
        ASSERT_NE(stream, 0u) << m_engine->ErrorGetCode();
        ChannelInfo info;
        ASSERT_TRUE(m_engine->ChannelGetInfo(stream, info));
        EXPECT_EQ(info.freq, 44100u);
        EXPECT_EQ(info.chans, 2u);
        DspLog dsp;
        const StreamGuard guard(*m_engine, stream);
        ASSERT_NE(m_engine->ChannelSetDSP(stream, &DspLog::onBlock, &dsp, 0), 0u);
        ASSERT_TRUE(m_engine->ChannelPlay(stream));
        ASSERT_TRUE(WaitUntil([&] { return m_engine->ChannelGetPosition(stream) >= 44100 * 4; },
                              milliseconds(5000)));
        EXPECT_EQ(m_engine->StreamGetFilePosition(stream, FilePos::Connected), 1);
        ASSERT_TRUE(m_engine->StreamFree(stream));
        std::lock_guard lock(dsp.mutex);
        qvm::test::WavData seen{44100, 2, dsp.samples};
        EXPECT_NEAR(qvm::test::DominantFrequency(seen.channel(0, 0.2), 44100), 660.0, 5.0);
    }
}

// Playlist files lead to their first entry that opens, by content type, by
// extension or by their first bytes.
TEST_F(EngineStream, PlaylistFilesResolve) {
    StreamServer server;
    RefusingPort refusing;
    server.addMount("/live.mp3", MountSpec{.script = {Tone{440, kLong}}});
    const std::string dead = refusing.url("/dead");
    const std::string live = server.url("/live.mp3");
    server.addFile("/a.pls",
                   "[playlist]\nFile1=" + dead + "\nFile2=" + live + "\nNumberOfEntries=2\n",
                   "audio/x-scpls");
    server.addFile("/b.m3u", "#EXTM3U\n#EXTINF:-1,Dead\n" + dead + "\nlive.mp3\n", "text/plain");
    server.addFile("/c",
                   "<?xml version=\"1.0\"?><playlist><trackList><track><location>" + live +
                       "</location></track></trackList></playlist>",
                   "application/xspf+xml");
    server.addFile("/d", "[playlist]\nFile1=" + live + "\n", "application/octet-stream");
    server.addFile("/nested.m3u", server.url("/a.pls") + "\n", "audio/x-mpegurl");
    for (const char* path : {"/a.pls", "/b.m3u", "/c", "/d", "/nested.m3u"}) {
        SCOPED_TRACE(path);
        const int before = server.connectionCount("/live.mp3");
        const StreamHandle stream = open(server.url(path));
        EXPECT_EQ(server.connectionCount("/live.mp3"), before + 1);
        ChannelInfo info;
        EXPECT_TRUE(m_engine->ChannelGetInfo(stream, info));
        EXPECT_EQ(info.freq, 44100u);
        m_engine->StreamFree(stream);
    }
}

// A stall drops "connected", the ring runs empty while the stream plays, and
// the stream then frees itself: its handle is no longer valid.
TEST_F(EngineStream, StallDropsConnectionAndFillThenTheStreamFreesItself) {
    m_config.readTimeoutMs = 1000;
    m_engine->SetNetConfig(m_config);
    StreamServer server;
    server.addMount("/stall.mp3",
                    MountSpec{.burstSeconds = 1.0, .script = {Tone{440, 1.5}, Stall{kForever}}});
    const StreamHandle stream = open(server.url("/stall.mp3"));
    ASSERT_NE(stream, 0u);
    EXPECT_EQ(m_engine->StreamGetFilePosition(stream, FilePos::Connected), 1);
    EXPECT_TRUE(waitFill(stream, 50, milliseconds(3000)));
    ASSERT_TRUE(m_engine->ChannelPlay(stream));
    EXPECT_TRUE(
        WaitUntil([&] { return m_engine->StreamGetFilePosition(stream, FilePos::Connected) == 0; },
                  milliseconds(6000)));
    // Once played out, the stream is gone.
    EXPECT_TRUE(
        WaitUntil([&] { return m_engine->StreamGetFilePosition(stream, FilePos::Buffer) <= 0; },
                  milliseconds(3000)));
    EXPECT_TRUE(
        WaitUntil([&] { return m_engine->StreamGetFilePosition(stream, FilePos::End) == -1; },
                  milliseconds(3000)));
    EXPECT_EQ(m_engine->ErrorGetCode(), kErrHandle);
    EXPECT_FALSE(m_engine->StreamFree(stream));
}

// Levels follow the decoded peaks (after DSP, before volume); the DSP callback
// gets the stream's own rate and channels; a mono stream reads the same on
// both sides.
TEST_F(EngineStream, LevelsAndDspOnAMonoStream) {
    StreamServer server;
    server.addMount("/mono.mp3", MountSpec{.sampleRate = 22050,
                                           .channels = 1,
                                           .bitrateKbps = 64,
                                           .script = {Tone{1000, kLong, 0.5}}});
    server.addMount("/quiet.mp3", MountSpec{.script = {Silence{kLong}}});
    const StreamHandle mono = open(server.url("/mono.mp3"));
    const StreamHandle quiet = open(server.url("/quiet.mp3"));
    ASSERT_NE(mono, 0u);
    ASSERT_NE(quiet, 0u);
    ChannelInfo info;
    ASSERT_TRUE(m_engine->ChannelGetInfo(mono, info));
    EXPECT_EQ(info.freq, 22050u);
    EXPECT_EQ(info.chans, 1u);
    EXPECT_EQ(m_engine->ChannelGetLevel(mono), 0u);  // nothing mixed yet

    DspLog dsp;
    const StreamGuard guard(*m_engine, mono);
    ASSERT_NE(m_engine->ChannelSetDSP(mono, &DspLog::onBlock, &dsp, 0), 0u);
    ASSERT_TRUE(m_engine->ChannelSetVolume(mono, 0.1f));  // the level ignores the volume
    ASSERT_TRUE(m_engine->ChannelPlay(mono));
    ASSERT_TRUE(m_engine->ChannelPlay(quiet));
    // Played once the readers have taken the connect bursts.
    ASSERT_TRUE(WaitUntil(
        [&] {
            std::lock_guard lock(dsp.mutex);
            return dsp.samples.size() > 22050;
        },
        milliseconds(5000)));
    const std::uint32_t level = m_engine->ChannelGetLevel(mono);
    EXPECT_NEAR(static_cast<double>(level & 0xFFFF), 16384.0, 1600.0);
    EXPECT_EQ(level & 0xFFFF, level >> 16);
    EXPECT_EQ(m_engine->ChannelGetLevel(quiet), 0u);
    {
        std::lock_guard lock(dsp.mutex);
        EXPECT_FALSE(dsp.oddLength.load());
        qvm::test::WavData seen{22050, 1, dsp.samples};
        EXPECT_GT(seen.seconds(), 0.8);
        EXPECT_NEAR(qvm::test::DominantFrequency(seen.channel(0, 0.1), 22050), 1000.0, 5.0);
        dsp.gain = 0.25f;  // from now on the DSP lowers what is played and metered
    }
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_NEAR(static_cast<double>(m_engine->ChannelGetLevel(mono) & 0xFFFF), 4096.0, 500.0);
}

// Moving the position forward skips buffered audio; backwards or past what is
// buffered fails.
TEST_F(EngineStream, PositionSkipsBufferedAudio) {
    m_config.bufferMs = 3000;
    m_engine->SetNetConfig(m_config);
    StreamServer server;
    server.addMount("/live.mp3", MountSpec{.burstSeconds = 2.0, .script = {Tone{440, kLong}}});
    const StreamHandle stream = open(server.url("/live.mp3"));
    ASSERT_NE(stream, 0u);
    ASSERT_TRUE(waitFill(stream, 50, milliseconds(4000)));
    // Only once the reader has taken the connect burst is the ring the
    // player's; what it dropped of the burst counts as taken, so that the
    // position stays the stream's own.
    ASSERT_TRUE(WaitUntil(
        [&] { return m_engine->ChannelSetPosition(stream, m_engine->ChannelGetPosition(stream)); },
        milliseconds(4000)));
    const std::int64_t start = m_engine->ChannelGetPosition(stream);
    EXPECT_EQ(start % 4, 0);
    const std::int64_t buffered = m_engine->StreamGetFilePosition(stream, FilePos::Buffer);
    EXPECT_TRUE(m_engine->ChannelSetPosition(stream, start + 19200));
    EXPECT_EQ(m_engine->ChannelGetPosition(stream), start + 19200);
    EXPECT_LE(m_engine->StreamGetFilePosition(stream, FilePos::Buffer), buffered);
    EXPECT_FALSE(m_engine->ChannelSetPosition(stream, start));
    EXPECT_EQ(m_engine->ErrorGetCode(), kErrPosition);
    EXPECT_FALSE(m_engine->ChannelSetPosition(stream, start + 19200 + 10 * 44100 * 4));
    EXPECT_EQ(m_engine->ErrorGetCode(), kErrPosition);
    EXPECT_EQ(m_engine->ChannelGetPosition(stream), start + 19200);
}

// A reader that has caught up with a live stream pauses between reads of the
// network (half a second with this buffer): the pause must not count against
// the read time-out, must keep up with a high bit rate, and must leave the
// ring well filled.
TEST_F(EngineStream, PacedReaderKeepsUpAndIsNotTakenForAStall) {
    m_config.bufferMs = 4000;
    m_config.readTimeoutMs = 300;
    m_engine->SetNetConfig(m_config);
    const struct {
        int rate;
        int kbps;
    } cases[] = {{44100, 128}, {48000, 320}};
    StreamServer server;
    for (const auto& c : cases) {
        server.addMount("/" + std::to_string(c.kbps) + ".mp3",
                        MountSpec{.sampleRate = c.rate,
                                  .bitrateKbps = c.kbps,
                                  .burstSeconds = 3.0,
                                  .script = {Tone{440, kLong}}});
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.kbps << " kbit/s");
        const StreamHandle stream = open(server.url("/" + std::to_string(c.kbps) + ".mp3"));
        ASSERT_NE(stream, 0u);
        StreamGuard guard(*m_engine, stream);
        ASSERT_TRUE(waitFill(stream, 50, milliseconds(3000)));
        ASSERT_TRUE(m_engine->ChannelPlay(stream));
        // It plays once the reader has taken the connect burst.
        ASSERT_TRUE(WaitUntil([&] { return m_engine->ChannelGetPosition(stream) > 0; },
                              milliseconds(3000)));
        const std::int64_t capacity = m_engine->StreamGetFilePosition(stream, FilePos::End);
        const auto start = Clock::now();
        const std::int64_t startPosition = m_engine->ChannelGetPosition(stream);
        std::int64_t lowest = capacity;
        while (SecondsSince(start) < 4.0) {
            ASSERT_EQ(m_engine->StreamGetFilePosition(stream, FilePos::Connected), 1)
                << "after " << SecondsSince(start) << " s";
            lowest = std::min(lowest, m_engine->StreamGetFilePosition(stream, FilePos::Buffer));
            std::this_thread::sleep_for(milliseconds(20));
        }
        const double taken =
            static_cast<double>(m_engine->ChannelGetPosition(stream) - startPosition) /
            (c.rate * 4.0);
        EXPECT_NEAR(taken, SecondsSince(start), 0.3) << "seconds of audio taken";
        EXPECT_GT(lowest, capacity / 8);
    }
}

// A stream that starts as valid MP3 and then sends random bytes as fast as
// the network takes them: the reader gives up within seconds with the error
// for a stream that is no audio, stops reading (the cost stays bounded), and
// the stream is kept for its owner to learn why.
TEST_F(EngineStream, StreamThatTurnsToJunkEndsWithAnErrorAtBoundedCost) {
    StreamServer server;
    server.addMount("/junk.mp3",
                    MountSpec{.script = {Tone{440, 2.0, 0.5}, qvm::test::Garbage{1ull << 40}}});
    const StreamHandle stream = open(server.url("/junk.mp3"));
    ASSERT_NE(stream, 0u);
    const StreamGuard guard(*m_engine, stream);
    ASSERT_TRUE(m_engine->ChannelPlay(stream));
    StreamStats stats;
    ASSERT_TRUE(
        WaitUntil([&] { return m_engine->ChannelGetStats(stream, stats) && stats.error != kErrOk; },
                  milliseconds(10000)));
    EXPECT_EQ(stats.error, kErrFileForm);
    EXPECT_TRUE(
        WaitUntil([&] { return m_engine->StreamGetFilePosition(stream, FilePos::Connected) == 0; },
                  milliseconds(2000)));
    const std::uint64_t sent = server.lastConnection("/junk.mp3")->bodyBytes;
    std::this_thread::sleep_for(milliseconds(1000));
    EXPECT_TRUE(m_engine->ChannelGetStats(stream, stats)) << "freed before its owner saw why";
    EXPECT_LE(server.lastConnection("/junk.mp3")->bodyBytes, sent + (1u << 20))
        << "still reading after giving up";
}

// Several streams play and are tapped while other threads remove taps and
// free streams: once a removal or free returns, its callback never runs again.
TEST_F(EngineStream, FreeingWhileTheMixerRuns) {
    StreamServer server;
    server.addMount("/live.mp3", MountSpec{.bitrateKbps = 64, .script = {Tone{440, kLong}}});
    struct Tap {
        std::atomic<bool> closed{false};
        std::atomic<int> after{0};  // calls that began after the close returned
        std::atomic<int> calls{0};
        static void onBlock(DspHandle, StreamHandle, void*, std::uint32_t, void* user) {
            auto* tap = static_cast<Tap*>(user);
            tap->calls.fetch_add(1);
            if (tap->closed.load()) {
                tap->after.fetch_add(1);
            }
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
    };
    constexpr int kStreams = 4;
    for (int round = 0; round < 2; ++round) {
        std::vector<StreamHandle> streams;
        std::vector<DspHandle> dsps;
        std::vector<std::unique_ptr<Tap>> taps;
        std::vector<std::unique_ptr<StreamGuard>> guards;  // after taps: freed first
        for (int i = 0; i < kStreams; ++i) {
            streams.push_back(open(server.url("/live.mp3")));
            taps.push_back(std::make_unique<Tap>());
            guards.push_back(std::make_unique<StreamGuard>(*m_engine, streams.back()));
            dsps.push_back(
                m_engine->ChannelSetDSP(streams.back(), &Tap::onBlock, taps.back().get(), 0));
            ASSERT_NE(dsps.back(), 0u);
            ASSERT_TRUE(m_engine->ChannelPlay(streams.back()));
        }
        ASSERT_TRUE(WaitUntil([&] { return taps.back()->calls.load() > 5; }, milliseconds(2000)));
        std::vector<std::thread> closers;
        for (int i = 0; i < kStreams; ++i) {
            closers.emplace_back([&, i] {
                std::this_thread::sleep_for(milliseconds(7 * i));
                if (round == 0) {
                    EXPECT_TRUE(m_engine->ChannelRemoveDSP(streams[i], dsps[i]));
                } else {
                    EXPECT_TRUE(m_engine->StreamFree(streams[i]));
                }
                taps[i]->closed.store(true);
            });
        }
        for (std::thread& t : closers) {
            t.join();
        }
        std::this_thread::sleep_for(milliseconds(200));
        for (int i = 0; i < kStreams; ++i) {
            EXPECT_EQ(taps[i]->after.load(), 0) << "stream " << i;
        }
        if (round == 0) {
            EXPECT_FALSE(m_engine->ChannelRemoveDSP(streams[0], dsps[0]));  // already gone
            for (StreamHandle s : streams) {
                EXPECT_TRUE(m_engine->StreamFree(s));
            }
        }
    }
    // Freeing the device frees what is still open, while it plays.
    const StreamHandle left = open(server.url("/live.mp3"));
    ASSERT_TRUE(m_engine->ChannelPlay(left));
    std::this_thread::sleep_for(milliseconds(100));
    m_engine->Free();
    EXPECT_EQ(m_engine->ChannelGetPosition(left), -1);
}

// A sync callback may free its own stream; no further callback follows.
TEST_F(EngineStream, SyncCallbackMayFreeItsStream) {
    StreamServer server;
    server.addMount("/t.mp3", MountSpec{.metaint = 4000,
                                        .burstSeconds = 0.2,
                                        .script = {Tone{440, 0.5}, Title{"One"}, Tone{440, 0.5},
                                                   Title{"Two"}, Tone{440, kLong}}});
    struct Ctx {
        IAudioEngine* engine;
        std::atomic<int> calls{0};
        std::atomic<bool> freed{false};
    } ctx{m_engine.get()};
    const StreamHandle stream = open(server.url("/t.mp3"));
    const StreamGuard guard(*m_engine, stream);
    ASSERT_NE(m_engine->ChannelSetSync(
                  stream,
                  [](SyncHandle, StreamHandle s, void* user) {
                      auto* c = static_cast<Ctx*>(user);
                      c->calls.fetch_add(1);
                      c->freed.store(c->engine->StreamFree(s));
                  },
                  &ctx),
              0u);
    ASSERT_TRUE(m_engine->ChannelPlay(stream));
    ASSERT_TRUE(WaitUntil([&] { return ctx.freed.load(); }, milliseconds(5000)));
    std::this_thread::sleep_for(milliseconds(1500));
    EXPECT_EQ(ctx.calls.load(), 1);
    EXPECT_EQ(m_engine->ChannelGetPosition(stream), -1);
}

}  // namespace
}  // namespace qvm::audio::test
