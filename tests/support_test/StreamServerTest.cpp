// The scripted stream server, checked through real clients: libavformat
// decoding its MP3 over HTTP, and a plain socket client for timing and
// replies that are not audio.
#include <gtest/gtest.h>

#include <QDir>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "support/AudioAnalysis.h"
#include "support/HttpBits.h"
#include "support/StreamServer.h"
#include "support/TempDir.h"
#include "support_test/FfmpegReader.h"

namespace qvm::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

const TimelineEntry* FindEntry(const ConnectionRecord& record, std::size_t step, int loop = 0) {
    for (const TimelineEntry& e : record.timeline) {
        if (e.step == step && e.loop == loop) {
            return &e;
        }
    }
    return nullptr;
}

double Frequency(const WavData& wav, double from, double to) {
    const std::vector<float> x = wav.channel(-1, from, to);
    return DominantFrequency(x, wav.sampleRate);
}

struct FormatCase {
    int rate;
    int channels;
    int kbps;
};

class StreamServerFormats : public ::testing::TestWithParam<FormatCase> {};

// Tone, silence, tone: the decoded audio has the format, frequencies and
// levels of the script, and each change sits where the timeline says.
TEST_P(StreamServerFormats, DecodedAudioFollowsTheScriptAndTheTimeline) {
    const FormatCase& format = GetParam();
    StreamServer server;
    MountSpec spec;
    spec.sampleRate = format.rate;
    spec.channels = format.channels;
    spec.bitrateKbps = format.kbps;
    spec.realTime = false;
    spec.script = {Tone{440, 1.0, 0.5}, Silence{0.6}, Tone{880, 1.0, 0.25}};
    server.addMount("/tones.mp3", spec);

    const ReadResult read = ReadStream(server.url("/tones.mp3"));
    ASSERT_EQ(read.openError, 0) << read.openErrorText;
    EXPECT_TRUE(read.endOfStream);
    EXPECT_EQ(read.codec, "mp3");
    EXPECT_EQ(read.audio.sampleRate, format.rate);
    EXPECT_EQ(read.audio.channels, format.channels);
    EXPECT_NEAR(read.audio.seconds(), 2.6, 0.1);

    const auto record = server.lastConnection("/tones.mp3");
    ASSERT_TRUE(record);
    ASSERT_EQ(record->timeline.size(), 3u);
    const double silenceAt = record->timeline[1].streamSeconds;
    const double secondToneAt = record->timeline[2].streamSeconds;
    EXPECT_NEAR(silenceAt, 1.0 + 1105.0 / format.rate, 0.002);
    EXPECT_NEAR(secondToneAt - silenceAt, 0.6, 0.002);

    const auto toSilence = FindChange(read.audio, 440, 0);
    const auto fromSilence = FindChange(read.audio, 0, 880);
    ASSERT_TRUE(toSilence && fromSilence);
    EXPECT_NEAR(*toSilence, silenceAt, 0.03);
    EXPECT_NEAR(*fromSilence, secondToneAt, 0.03);

    EXPECT_NEAR(Frequency(read.audio, 0.2, 0.9), 440, 3);
    EXPECT_NEAR(Frequency(read.audio, silenceAt + 0.7, silenceAt + 1.5), 880, 3);
    const std::vector<float> first = read.audio.channel(-1, 0.2, 0.9);
    const std::vector<float> quiet = read.audio.channel(-1, silenceAt + 0.1, secondToneAt - 0.1);
    const std::vector<float> second =
        read.audio.channel(-1, secondToneAt + 0.1, secondToneAt + 0.9);
    EXPECT_NEAR(PeakDb(first), -6.02, 0.6);
    EXPECT_NEAR(RmsDb(first), -9.03, 0.6);
    EXPECT_NEAR(RmsDb(second), -15.05, 0.6);
    EXPECT_LT(PeakDb(quiet), -60);
}

INSTANTIATE_TEST_SUITE_P(Formats, StreamServerFormats,
                         ::testing::Values(FormatCase{44100, 2, 128}, FormatCase{48000, 1, 64},
                                           FormatCase{22050, 2, 64}),
                         [](const auto& p) {
                             return std::to_string(p.param.rate) + "Hz" +
                                    std::to_string(p.param.channels) + "ch";
                         });

// A tone without end after other steps keeps sounding: a live programme.
TEST(StreamServer, EndlessToneAfterOtherSteps) {
    StreamServer server;
    MountSpec spec;
    spec.realTime = false;
    spec.script = {Title{"Live"}, Silence{0.2}, Tone{440, kForever, 0.5}};
    server.addMount("/live.mp3", spec);
    ReadOptions options;
    options.maxSeconds = 3.0;
    const ReadResult read = ReadStream(server.url("/live.mp3"), options);
    ASSERT_EQ(read.openError, 0) << read.openErrorText;
    EXPECT_FALSE(read.endOfStream);
    EXPECT_GE(read.audio.seconds(), 2.9);
    EXPECT_NEAR(Frequency(read.audio, 1.0, 2.5), 440, 3);
}

// Titles arrive whole (quotes and semicolons included) in the metadata that
// libavformat exposes, with the ICY headers; without Icy-MetaData the body is
// plain MP3 and the request headers show what the client sent.
TEST(StreamServer, IcyHeadersTitlesAndRequestHeaders) {
    StreamServer server;
    MountSpec spec;
    spec.icyName = "Test Name";
    spec.icyBr = 128;
    spec.metaint = 4000;
    spec.realTime = false;
    spec.script = {Title{"It's; semi"},
                   Tone{440, 1.0},
                   Title{"Zweiter Titel – ü"},
                   Tone{440, 1.0},
                   Title{"StreamTitle='Raw';StreamUrl='http://x/';", true},
                   Tone{440, 1.0}};
    server.addMount("/icy.mp3", spec);

    const ReadResult withIcy = ReadStream(server.url("/icy.mp3"));
    ASSERT_EQ(withIcy.openError, 0) << withIcy.openErrorText;
    EXPECT_NE(withIcy.icyHeaders.find("icy-name: Test Name"), std::string::npos)
        << withIcy.icyHeaders;
    EXPECT_NE(withIcy.icyHeaders.find("icy-br: 128"), std::string::npos) << withIcy.icyHeaders;
    std::vector<std::string> titles;
    for (const auto& [at, text] : withIcy.metadata) {
        titles.push_back(text);
    }
    EXPECT_EQ(titles, (std::vector<std::string>{"StreamTitle='It's; semi';",
                                                "StreamTitle='Zweiter Titel – ü';",
                                                "StreamTitle='Raw';StreamUrl='http://x/';"}));
    EXPECT_NEAR(withIcy.audio.seconds(), 3.0,
                0.1);  // the metadata blocks did not disturb the audio

    auto record = server.lastConnection("/icy.mp3");
    ASSERT_TRUE(record);
    EXPECT_TRUE(record->metadata);
    EXPECT_EQ(record->header("user-agent"), "QVMirelta");
    EXPECT_EQ(record->header("Icy-MetaData"), "1");
    const TimelineEntry* second = FindEntry(*record, 2);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->kind, "title");
    EXPECT_GE(second->streamSeconds, 1.0);  // carried by the first block after the first tone

    ReadOptions plain;
    plain.icy = false;
    plain.userAgent = "Other/1.0";
    const ReadResult withoutIcy = ReadStream(server.url("/icy.mp3"), plain);
    ASSERT_EQ(withoutIcy.openError, 0) << withoutIcy.openErrorText;
    EXPECT_TRUE(withoutIcy.metadata.empty());
    EXPECT_NEAR(withoutIcy.audio.seconds(), 3.0, 0.1);
    record = server.lastConnection("/icy.mp3");
    ASSERT_TRUE(record);
    EXPECT_FALSE(record->metadata);
    EXPECT_EQ(record->header("User-Agent"), "Other/1.0");
    EXPECT_EQ(server.connectionCount("/icy.mp3"), 2);
}

// The ICY framing byte by byte: a length byte after every `metaint` bytes of
// audio, titles padded to 16-byte units and cut at 255 units, and audio that
// is the same MP3 a client without metadata receives.
TEST(StreamServer, IcyMetadataFramingOnTheWire) {
    StreamServer server;
    MountSpec spec;
    spec.metaint = 1000;
    spec.realTime = false;
    const std::string longTitle(5000, 'x');
    spec.script = {Title{"It's; semi"}, Tone{440, 0.5}, Title{longTitle},
                   Tone{440, 0.5},      Title{""},      Tone{440, 0.5}};
    server.addMount("/framed.mp3", spec);

    FetchOptions icy;
    icy.headers = {{"Icy-MetaData", "1"}};
    const FetchResult framed = Fetch(server.url("/framed.mp3"), icy);
    ASSERT_TRUE(framed.ok) << framed.error;
    EXPECT_EQ(framed.header("icy-metaint"), "1000");
    const FetchResult plain = Fetch(server.url("/framed.mp3"));
    ASSERT_TRUE(plain.ok) << plain.error;
    EXPECT_EQ(plain.header("icy-metaint"), "");

    std::string audio;
    std::vector<std::string> blocks;  // the non-empty metadata blocks, padding included
    std::size_t pos = 0;
    int emptyBlocks = 0;
    while (pos < framed.body.size()) {
        const std::size_t n = std::min<std::size_t>(1000, framed.body.size() - pos);
        audio += framed.body.substr(pos, n);
        pos += n;
        if (n < 1000 || pos == framed.body.size()) {
            break;  // the stream ended inside the audio of this interval
        }
        const std::size_t length = static_cast<unsigned char>(framed.body[pos]) * 16u;
        ASSERT_LE(pos + 1 + length, framed.body.size()) << "metadata block cut at " << pos;
        if (length == 0) {
            ++emptyBlocks;
        } else {
            blocks.push_back(framed.body.substr(pos + 1, length));
        }
        pos += 1 + length;
    }
    EXPECT_EQ(audio, plain.body);  // the same MP3 with and without framing
    EXPECT_GT(emptyBlocks, 15);    // blocks without a change carry no text

    auto padded = [](std::string text) {
        text.resize((text.size() + 15) / 16 * 16, '\0');
        return text;
    };
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(blocks[0], padded("StreamTitle='It's; semi';"));
    EXPECT_EQ(blocks[1].size(), 255u * 16u);
    EXPECT_EQ(blocks[1], ("StreamTitle='" + longTitle).substr(0, 255 * 16));
    EXPECT_EQ(blocks[2], padded("StreamTitle='';"));

    // Each title goes out with the first block after the audio before it.
    const auto record = server.lastConnection("/framed.mp3");
    ASSERT_TRUE(record);
    const auto icyRecord = server.connections("/framed.mp3").front();
    EXPECT_TRUE(icyRecord.metadata);
    EXPECT_FALSE(record->metadata);
    EXPECT_EQ(icyRecord.bodyBytes, framed.body.size());
    for (std::size_t step : {2u, 4u}) {
        SCOPED_TRACE(step);
        const TimelineEntry* title = FindEntry(icyRecord, step);
        ASSERT_NE(title, nullptr);
        EXPECT_EQ(title->kind, "title");
        EXPECT_NEAR(title->streamSeconds, 0.5 * static_cast<double>(step / 2) + 0.025, 0.002);
    }
}

// Replies that are not audio, each checked on the wire and through libavformat.
TEST(StreamServer, ErrorRepliesAndBrokenStarts) {
    StreamServer server;
    auto add = [&](const std::string& path, Script script) {
        MountSpec spec;
        spec.script = std::move(script);
        server.addMount(path, spec);
    };
    add("/503.mp3", {HttpError{503}});
    add("/html.mp3", {Html{}});
    add("/slow-502.mp3", {Stall{0.4}, HttpError{502}});
    add("/drop.mp3", {Disconnect{}});
    struct Case {
        std::string path;
        int status;        // 0 = no reply at all
        std::string type;  // expected start of the Content-Type
        double minSeconds;
    };
    const Case cases[] = {
        {"/missing.mp3", 404, "text/plain", 0.0},
        {"/503.mp3", 503, "text/plain", 0.0},
        {"/html.mp3", 200, "text/html", 0.0},
        {"/slow-502.mp3", 502, "text/plain", 0.38},
        {"/drop.mp3", 0, "", 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const Clock::time_point start = Clock::now();
        const FetchResult reply = Fetch(server.url(c.path));
        EXPECT_GE(Seconds(Clock::now() - start), c.minSeconds);
        if (c.status == 0) {
            EXPECT_FALSE(reply.ok);
            EXPECT_EQ(reply.error, "closed without a reply");
        } else {
            ASSERT_TRUE(reply.ok) << reply.error;
            EXPECT_EQ(reply.status, c.status);
            EXPECT_EQ(reply.header("Content-Type").rfind(c.type, 0), 0u)
                << reply.header("Content-Type");
            EXPECT_TRUE(reply.closedByPeer);
        }
        if (c.type == "text/html") {
            EXPECT_NE(reply.body.find("<html>"), std::string::npos);
        }
        const ReadResult read = ReadStream(server.url(c.path));
        EXPECT_NE(read.openError, 0) << "libavformat opened " << c.path;
        EXPECT_TRUE(read.audio.samples.empty());
    }
    EXPECT_EQ(server.lastConnection("/503.mp3")->status, 503);
}

// The first connection fails, the next ones play; a looping script repeats
// with the title sent on each change.
TEST(StreamServer, FirstConnectionsAndLooping) {
    StreamServer server;
    MountSpec spec;
    spec.realTime = false;
    spec.loop = true;
    spec.metaint = 2000;
    spec.firstConnections = {{HttpError{503}}};
    spec.script = {Title{"A"}, Tone{440, 0.3}, Title{"B"}, Tone{660, 0.3}};
    server.addMount("/loop.mp3", spec);

    EXPECT_EQ(Fetch(server.url("/loop.mp3")).status, 503);
    ReadOptions options;
    options.maxSeconds = 2.0;
    const ReadResult read = ReadStream(server.url("/loop.mp3"), options);
    ASSERT_EQ(read.openError, 0) << read.openErrorText;
    EXPECT_FALSE(read.endOfStream);
    EXPECT_EQ(server.connectionCount("/loop.mp3"), 2);

    ChangeOptions later;
    later.hold = 0.1;
    later.from = 0.4;
    const auto up = FindChange(read.audio, 440, 660);
    const auto down = FindChange(read.audio, 660, 440, later);
    ASSERT_TRUE(up && down);
    EXPECT_NEAR(*up, 0.3 + 0.025, 0.02);
    EXPECT_NEAR(*down, 0.6 + 0.025, 0.02);
    ASSERT_GE(read.metadata.size(), 4u);
    EXPECT_EQ(read.metadata[0].second, "StreamTitle='A';");
    EXPECT_EQ(read.metadata[1].second, "StreamTitle='B';");
    EXPECT_EQ(read.metadata[2].second, "StreamTitle='A';");

    // The server notices the hang-up at its next write; its timeline is complete then.
    ASSERT_TRUE(server.waitForClosed("/loop.mp3", 5000ms));
    const auto record = server.lastConnection("/loop.mp3");
    ASSERT_TRUE(record);
    ASSERT_NE(FindEntry(*record, 1, 2), nullptr);  // the third pass began
    EXPECT_NEAR(FindEntry(*record, 1, 2)->streamSeconds, 1.2 + 0.025, 0.002);
}

// Real-time pacing: the burst goes at once, a stall holds the bytes back with
// the connection open, and the timeline relates stream time to wall time.
TEST(StreamServer, BurstStallAndDisconnectInRealTime) {
    StreamServer server;
    MountSpec spec;
    spec.burstSeconds = 0.5;
    spec.metaint = 0;
    spec.script = {Tone{440, 1.0}, Stall{1.0}, Tone{660, 1.0}, Disconnect{}};
    server.addMount("/live.mp3", spec);

    std::vector<std::pair<double, std::size_t>>
        arrivals;  // (seconds since the request, total bytes)
    std::size_t total = 0;
    const Clock::time_point start = Clock::now();
    FetchOptions options;
    options.timeout = 10s;
    options.maxBody = 1 << 24;
    options.onBody = [&](const char*, std::size_t n) {
        total += n;
        arrivals.emplace_back(Seconds(Clock::now() - start), total);
        return true;
    };
    const FetchResult reply = Fetch(server.url("/live.mp3"), options);
    const double elapsed = Seconds(Clock::now() - start);
    ASSERT_TRUE(reply.ok) << reply.error;
    EXPECT_TRUE(reply.closedByPeer);
    ASSERT_FALSE(arrivals.empty());

    // 0.5 s of the first tone is paced, then 1 s of stall, then 1 s of tone.
    EXPECT_GE(elapsed, 2.4);
    EXPECT_LE(elapsed, 3.2);
    const auto burst = std::find_if(arrivals.begin(), arrivals.end(),
                                    [](const auto& a) { return a.first >= 0.1; });
    ASSERT_NE(burst, arrivals.begin());
    EXPECT_NEAR(static_cast<double>(std::prev(burst)->second), 0.5 * 16000,
                3000);  // bytes at 128 kbit/s
    double longestGap = 0;
    for (std::size_t i = 1; i < arrivals.size(); ++i) {
        longestGap = std::max(longestGap, arrivals[i].first - arrivals[i - 1].first);
    }
    EXPECT_GE(longestGap, 0.9);
    EXPECT_LE(longestGap, 1.5);

    // The client sees the end as soon as the socket closes, a moment before
    // the server has written the closing down.
    ASSERT_TRUE(server.waitForClosed("/live.mp3", 2000ms));
    const auto record = server.lastConnection("/live.mp3");
    ASSERT_TRUE(record);
    ASSERT_EQ(record->timeline.size(), 4u);
    const char* kinds[] = {"tone", "stall", "tone", "disconnect"};
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(record->timeline[i].kind, kinds[i]);
    }
    const auto& t = record->timeline;
    EXPECT_NEAR(t[1].streamSeconds, 1.025, 0.002);
    EXPECT_NEAR(t[2].streamSeconds, 1.025, 0.002);
    EXPECT_NEAR(t[3].streamSeconds, 2.025, 0.002);
    EXPECT_NEAR(Seconds(t[1].sentAt - t[0].sentAt), 0.5, 0.2);  // stream time ran 0.5 s ahead
    EXPECT_NEAR(Seconds(t[2].sentAt - t[1].sentAt), 1.0, 0.2);
    EXPECT_NEAR(Seconds(t[3].sentAt - t[2].sentAt), 1.0, 0.2);
    const double tickSeconds = static_cast<double>(t[3].sentTick - t[0].sentTick) / 1000.0;
    EXPECT_NEAR(tickSeconds, Seconds(t[3].sentAt - t[0].sentAt), 0.01);
}

// Refusing, hanging and stopping: what clients of a misbehaving server see,
// and a stop that cuts every kind of connection at once.
TEST(StreamServer, RefuseHangAndPromptStop) {
    RefusingPort nobody;
    EXPECT_EQ(Fetch(nobody.url("/x.mp3")).error, "connection refused");

    auto server = std::make_unique<StreamServer>();
    MountSpec spec;
    spec.script = {Tone{440, 30.0}};
    server->addMount("/long.mp3", spec);
    spec.script = {Tone{440, 0.2}, Stall{kForever}};
    server->addMount("/stuck.mp3", spec);

    const std::string longUrl = server->url("/long.mp3");
    const std::string stuckUrl = server->url("/stuck.mp3");
    const std::string otherUrl = server->url("/other");
    std::atomic<std::size_t> streamed{0};
    bool streamClosed = false;
    std::thread listener([&] {
        FetchOptions options;
        options.timeout = 20s;
        options.onBody = [&](const char*, std::size_t n) {
            streamed += n;
            return true;
        };
        streamClosed = Fetch(longUrl, options).closedByPeer;
    });
    ASSERT_TRUE(server->waitForConnections("/long.mp3", 1, 5000ms));

    server->setMode(ServerMode::Refuse);
    EXPECT_EQ(Fetch(longUrl).error, "connection refused");
    server->setMode(ServerMode::Hang);
    FetchOptions brief;
    brief.timeout = 300ms;
    brief.headers = {{"User-Agent", "Hanger"}};
    EXPECT_EQ(Fetch(longUrl, brief).error, "timed out waiting for the reply");
    const auto hung = server->lastConnection("/long.mp3");
    ASSERT_TRUE(hung);
    EXPECT_EQ(hung->header("User-Agent"), "Hanger");
    EXPECT_EQ(hung->status, 0);
    // The client gave up: the server lets the hung connection go, so that a
    // long run of hangs does not use up its connections.
    const auto released = Clock::now() + 3000ms;
    while (Clock::now() < released && !server->lastConnection("/long.mp3")->closedAt) {
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_TRUE(server->lastConnection("/long.mp3")->closedAt.has_value());
    server->setMode(ServerMode::Serve);

    // Two clients that the stop must release: one mid-stall, one on a hanging server.
    bool stuckClosed = false;
    std::thread stuck([&] {
        FetchOptions options;
        options.timeout = 20s;
        stuckClosed = Fetch(stuckUrl, options).closedByPeer;
    });
    ASSERT_TRUE(server->waitForStep("/stuck.mp3", 1, 5000ms));
    server->setMode(ServerMode::Hang);
    std::string hangingError;
    std::thread hanging([&] {
        FetchOptions options;
        options.timeout = 20s;
        hangingError = Fetch(otherUrl, options).error;
    });
    ASSERT_TRUE(server->waitForConnections("/other", 1, 5000ms));
    EXPECT_GT(streamed.load(), 16000u);  // the first stream went on through all of it

    const Clock::time_point stopping = Clock::now();
    server.reset();
    const double stopSeconds = Seconds(Clock::now() - stopping);
    listener.join();
    stuck.join();
    hanging.join();
    EXPECT_LT(stopSeconds, 1.0);
    EXPECT_LT(Seconds(Clock::now() - stopping), 2.0);
    EXPECT_TRUE(streamClosed);
    EXPECT_TRUE(stuckClosed);
    EXPECT_EQ(hangingError, "closed without a reply");
}

// Files and folders with their content types; nothing outside the folder.
TEST(StreamServer, FilesFoldersAndGarbage) {
    TempDir dir;
    dir.write("hls/index.m3u8", "#EXTM3U\n");
    dir.write("hls/seg00000.ts", QByteArray(188, 'G'));
    dir.write("hls/sub/x.aac", "aac");
    dir.write("secret.txt", "secret");
    dir.write("hls/radio.pls", "[playlist]\nFile1=http://a/\n");
    dir.write("hls/radio.m3u", "#EXTM3U\nhttp://a/\n");
    dir.write("hls/radio.xspf", "<playlist/>");
    StreamServer server;
    server.addFile("/list.pls", "[playlist]\nFile1=http://a/\n", "audio/x-scpls");
    server.addFolder("/hls/", QDir(dir.path() + "hls").absolutePath().toStdString());
    MountSpec spec;
    spec.realTime = false;
    spec.metaint = 0;
    spec.script = {Garbage{10000}};
    server.addMount("/garbage.mp3", spec);

    struct Case {
        std::string path;
        int status;
        std::string type;
        std::string body;
    };
    const Case cases[] = {
        {"/list.pls", 200, "audio/x-scpls", "[playlist]\nFile1=http://a/\n"},
        {"/hls/index.m3u8?token=1", 200, "application/vnd.apple.mpegurl", "#EXTM3U\n"},
        {"/hls/seg00000.ts", 200, "video/mp2t", std::string(188, 'G')},
        {"/hls/sub/x.aac", 200, "audio/aac", "aac"},
        {"/hls/radio.pls", 200, "audio/x-scpls", "[playlist]\nFile1=http://a/\n"},
        {"/hls/radio.m3u", 200, "audio/x-mpegurl", "#EXTM3U\nhttp://a/\n"},
        {"/hls/radio.xspf", 200, "application/xspf+xml", "<playlist/>"},
        {"/hls/../secret.txt", 403, "text/plain", "403 Forbidden\n"},
        {"/hls/missing.ts", 404, "text/plain", "404 Not Found\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const FetchResult reply = Fetch(server.url(c.path));
        ASSERT_TRUE(reply.ok) << reply.error;
        EXPECT_EQ(reply.status, c.status);
        EXPECT_EQ(reply.header("Content-Type"), c.type);
        EXPECT_EQ(reply.body, c.body);
    }
    FetchOptions head;
    head.method = "HEAD";
    const FetchResult headReply = Fetch(server.url("/list.pls"), head);
    EXPECT_EQ(headReply.status, 200);
    EXPECT_EQ(headReply.header("Content-Length"), "27");
    EXPECT_TRUE(headReply.body.empty());
    FetchOptions post;
    post.method = "POST";
    EXPECT_EQ(Fetch(server.url("/list.pls"), post).status, 405);

    const FetchResult garbage = Fetch(server.url("/garbage.mp3"));
    EXPECT_EQ(garbage.status, 200);
    EXPECT_EQ(garbage.body.size(), 10000u);
    EXPECT_GT(
        std::count_if(garbage.body.begin(), garbage.body.end(), [](char c) { return c != 0; }),
        9000);
    EXPECT_EQ(server.connectionCount("/hls/seg00000.ts"), 1);
}

}  // namespace
}  // namespace qvm::test
