// HLS streams written by the ffmpeg CLI and served by the stream server,
// decoded by libavformat's hls demuxer as the player's engine would.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QThread>

#include "support/AudioAnalysis.h"
#include "support/HlsFixture.h"
#include "support/HttpBits.h"
#include "support/StreamServer.h"
#include "support_test/FfmpegReader.h"

namespace qvm::test {
namespace {

struct VodCase {
    const char* name;
    const char* codec;    // ffmpeg encoder
    const char* decoder;  // what libavformat reports
    double toneHz;
    int sampleRate;
};

class HlsVod : public ::testing::TestWithParam<VodCase> {};

TEST_P(HlsVod, SegmentsDecodeToTheWholeTone) {
    const VodCase& c = GetParam();
    StreamServer server;
    HlsOptions options;
    options.codec = c.codec;
    options.toneHz = c.toneHz;
    options.sampleRate = c.sampleRate;
    options.seconds = 6.0;
    options.segmentSeconds = 2.0;
    HlsFixture hls(server, options);
    ASSERT_TRUE(hls.start()) << hls.error();

    const FetchResult playlist = Fetch(hls.url());
    ASSERT_TRUE(playlist.ok) << playlist.error;
    EXPECT_EQ(playlist.header("Content-Type"), "application/vnd.apple.mpegurl");
    EXPECT_NE(playlist.body.find("#EXT-X-ENDLIST"), std::string::npos) << playlist.body;
    const int segments = static_cast<int>(QDir(QString::fromStdString(hls.folder()))
                                              .entryList({QStringLiteral("seg*.ts")}, QDir::Files)
                                              .size());
    EXPECT_GE(segments, 3);

    const ReadResult read = ReadStream(hls.url());
    ASSERT_EQ(read.openError, 0) << read.openErrorText;
    EXPECT_TRUE(read.endOfStream);
    EXPECT_EQ(read.codec, c.decoder);
    EXPECT_EQ(read.audio.sampleRate, c.sampleRate);
    EXPECT_EQ(read.audio.channels, 2);
    EXPECT_NEAR(read.audio.seconds(), 6.0, 0.15);
    EXPECT_TRUE(read.icyHeaders.empty());  // HLS has no ICY headers
    // Windows across the segment boundaries: no gap, no dip, no other frequency.
    const double level = RmsDb(read.audio.channel(-1, 0.5, 1.0));
    EXPECT_GT(level, -30.0);
    for (double at : {1.8, 3.8, 5.0}) {
        SCOPED_TRACE(at);
        const std::vector<float> x = read.audio.channel(-1, at, at + 0.5);
        EXPECT_NEAR(DominantFrequency(x, read.audio.sampleRate), c.toneHz, 3.0);
        EXPECT_NEAR(RmsDb(x), level, 0.5);
    }
    for (int i = 0; i < segments; ++i) {
        const std::string path =
            "/hls/seg" + QStringLiteral("%1").arg(i, 5, 10, QLatin1Char('0')).toStdString() + ".ts";
        EXPECT_EQ(server.connectionCount(path), 1) << path;
    }
}

INSTANTIATE_TEST_SUITE_P(Codecs, HlsVod,
                         ::testing::Values(VodCase{"aac", "aac", "aac", 440, 44100},
                                           VodCase{"mp3", "libmp3lame", "mp3", 1000, 48000}),
                         [](const auto& p) { return std::string(p.param.name); });

// A live writer keeps a sliding window: the playlist has no end, its media
// sequence moves on, and a reader that wants more than the window gets it by
// reloading the playlist.
TEST(HlsLive, SlidingWindowKeepsServing) {
    StreamServer server;
    HlsOptions options;
    options.live = true;
    options.segmentSeconds = 1.0;
    options.liveWindow = 3;
    options.toneHz = 660;
    HlsFixture hls(server, options);
    ASSERT_TRUE(hls.start()) << hls.error();

    auto mediaSequence = [&](std::string* body) {
        const FetchResult reply = Fetch(hls.url());
        *body = reply.body;
        const QRegularExpressionMatch m =
            QRegularExpression(QStringLiteral("#EXT-X-MEDIA-SEQUENCE:(\\d+)"))
                .match(QString::fromStdString(reply.body));
        return m.hasMatch() ? m.captured(1).toInt() : -1;
    };
    std::string before;
    const int first = mediaSequence(&before);
    EXPECT_EQ(before.find("#EXT-X-ENDLIST"), std::string::npos) << before;

    ReadOptions read;
    read.maxSeconds = 5.0;
    read.timeout = std::chrono::milliseconds(20000);
    const ReadResult result = ReadStream(hls.url(), read);
    ASSERT_EQ(result.openError, 0) << result.openErrorText;
    EXPECT_FALSE(result.endOfStream);
    EXPECT_GE(result.audio.seconds(), 5.0);
    EXPECT_NEAR(DominantFrequency(result.audio.channel(-1, 0.5, 4.5), result.audio.sampleRate), 660,
                3.0);

    std::string after;
    const int later = mediaSequence(&after);
    EXPECT_GE(first, 0) << before;
    EXPECT_GT(later, first) << after;
    EXPECT_GT(server.connectionCount("/hls/index.m3u8"), 2);  // the reader reloaded it
}

}  // namespace
}  // namespace qvm::test
