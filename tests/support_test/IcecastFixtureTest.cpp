// A real icecast2 fed by the ffmpeg CLI, the way a station's stream server
// looks to the player: burst on connect, ICY headers from the source, titles
// set through the admin interface.
#include <gtest/gtest.h>

#include "support/AudioAnalysis.h"
#include "support/IcecastFixture.h"
#include "support_test/FfmpegReader.h"

namespace qvm::test {
namespace {

TEST(Icecast, ServesTheFeedWithHeadersAndTitles) {
    IcecastOptions options;
    options.name = "QVM Icecast";
    options.toneHz = 550;
    IcecastFixture icecast(options);
    if (!icecast.start()) {
        GTEST_SKIP() << "icecast2 could not serve a mount: " << icecast.error();
    }

    // A new listener first gets icecast's burst of older audio, which carries
    // the title of its time; reading on past the burst reaches the new title.
    // icecast2 re-encodes titles of MP3 mounts to ISO-8859-1 and writes what
    // Latin-1 lacks as an HTML character reference: players meet titles that
    // are not UTF-8.
    struct TitleCase {
        const char* set;
        const char* sent;
    };
    const TitleCase titles[] = {
        {"Artist - It's; semi", "Artist - It's; semi"},
        {"Zweiter Titel \u2013 \u00fc", "Zweiter Titel &#8211; \xFC"},
    };
    for (const auto& [title, sent] : titles) {
        SCOPED_TRACE(title);
        ASSERT_TRUE(icecast.setTitle(title));
        ReadOptions read;
        read.maxSeconds = 6.0;
        const ReadResult result = ReadStream(icecast.url(), read);
        ASSERT_EQ(result.openError, 0) << result.openErrorText;
        EXPECT_EQ(result.codec, "mp3");
        EXPECT_EQ(result.audio.sampleRate, 44100);
        EXPECT_EQ(result.audio.channels, 2);
        EXPECT_GE(result.audio.seconds(), 6.0);
        EXPECT_NEAR(DominantFrequency(result.audio.channel(-1, 0.5, 2.5), 44100), 550, 3.0);
        EXPECT_NEAR(DominantFrequency(result.audio.channel(-1, 4.0, 5.5), 44100), 550, 3.0);
        EXPECT_NE(result.icyHeaders.find("icy-name: QVM Icecast"), std::string::npos)
            << result.icyHeaders;
        EXPECT_NE(result.icyHeaders.find("icy-br: 128"), std::string::npos) << result.icyHeaders;
        ASSERT_FALSE(result.metadata.empty());
        EXPECT_EQ(result.metadata.back().second, "StreamTitle='" + std::string(sent) + "';");
    }
}

}  // namespace
}  // namespace qvm::test
