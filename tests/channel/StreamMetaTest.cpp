#include "channel/ChannelHarness.h"
#include "channel/StreamText.h"

namespace qvm::test {
namespace {

TEST(StreamText, TitleRunsToItsClosingQuoteAndSemicolon) {
    struct Case {
        const char* meta;
        std::optional<std::string> title;
    };
    const Case cases[] = {
        {"StreamTitle='Artist - Song';StreamUrl='';", "Artist - Song"},
        {"StreamTitle='AB;C';", "AB;C"},
        {"StreamTitle='A;B';", "A;B"},
        {"StreamTitle='Guns N' Roses - Don't Cry';StreamUrl='http://x/';",
         "Guns N' Roses - Don't Cry"},
        {"StreamTitle='Tom';s Diner';StreamUrl='';", "Tom';s Diner"},
        {"StreamTitle='';", ""},
        {"StreamTitle='No end", "No end"},
        {"StreamTitle='Quoted end'", "Quoted end"},
        {"StreamUrl='x';StreamTitle='Late';", "Late"},
        {"StreamUrl='only';", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ParseStreamTitle(c.meta), c.title) << c.meta;
    }
}

TEST(StreamText, TextsAreUtf8OrElseWindows1252AndCutAtCharacterBoundaries) {
    struct Case {
        std::string raw;
        int maxBytes;
        QString text;
    };
    const Case cases[] = {
        {"Caf\xc3\xa9 Paris", 255, QStringLiteral("Caf\u00e9 Paris")},
        {"Caf\xe9 \x80 \x93 \x9f", 255, QStringLiteral("Caf\u00e9 \u20ac \u201c \u0178")},
        {"Plain", 255, QStringLiteral("Plain")},
        {"\xc3\xa9\xc3\xa9\xc3\xa9", 5, QStringLiteral("\u00e9\u00e9")},
        {std::string(300, 'a'), 255, QString(255, QLatin1Char('a'))},
    };
    for (const Case& c : cases) {
        const QString text = DecodeStreamText(c.raw, c.maxBytes);
        EXPECT_EQ(text, c.text) << c.raw;
        EXPECT_LE(text.toUtf8().size(), c.maxBytes);
    }
}

TEST(StreamText, HeadersGiveStationAndBitrateAsReceived) {
    const StreamHeaders h =
        ParseStreamHeaders({"icy-name: Radio One", "icy-br:128", "icy-genre:Pop", "icy-br:192"});
    EXPECT_EQ(h.station, QStringLiteral(" Radio One"));
    EXPECT_EQ(h.bitrate, QStringLiteral("192")) << "a later header wins";
    const StreamHeaders none = ParseStreamHeaders({"ICY-NAME:upper", "content-type: audio/mpeg"});
    EXPECT_FALSE(none.station.has_value()) << "compared case-sensitively";
    EXPECT_FALSE(none.bitrate.has_value());
}

TEST(StreamText, ErrorTextsAndBitrateLinesInEnglish) {
    TLanguage language(qEnvironmentVariable("QVM_SOURCE_DIR") + QStringLiteral("/lang/"));
    ASSERT_TRUE(language.LoadLanguage(QStringLiteral("English.lng")));
    EXPECT_EQ(ErrorText(language, 40), QStringLiteral("Code 40. Connection timed out"));
    EXPECT_EQ(ErrorText(language, 1), QStringLiteral("Code 1. Memory error"));
    EXPECT_EQ(ErrorText(language, -1), QStringLiteral("Code -1. Some other mystery problem"));
    EXPECT_EQ(ErrorText(language, 12), QStringLiteral("Code 12. "));
    EXPECT_EQ(BitrateLine(language, QStringLiteral("128"), 2), QStringLiteral("128 Stereo"));
    EXPECT_EQ(BitrateLine(language, QStringLiteral("44100"), 1), QStringLiteral("44100 Mono"));
    EXPECT_EQ(BitrateLine(language, QString(), 0), QString());
    EXPECT_EQ(BitrateLine(language, QStringLiteral(" 64 "), 0), QStringLiteral("64"));
}

using ChannelMeta = ChannelHarness;

TEST_F(ChannelMeta, StationBitrateAndTitlesFromTheStream) {
    struct Case {
        std::vector<std::string> icy, http;
        audio::ChannelInfo info;
        QString station, bitrateLine;
    };
    const Case cases[] = {
        {{"icy-name:Radio X", "icy-br:128"},
         {},
         {44100, 2},
         QStringLiteral("Radio X"),
         QStringLiteral("128 Stereo")},
        {{},
         {"HTTP/1.0 200 OK", "icy-name:Over HTTP"},
         {22050, 1},
         QStringLiteral("Over HTTP"),
         QStringLiteral("22050 Mono")},
        {{}, {}, {48000, 2}, QString(), QStringLiteral("48000 Stereo")},
    };
    for (const Case& c : cases) {
        channels.clear();
        views.clear();
        FakeAudioEngine::OpenScript s;
        s.icy = c.icy;
        s.http = c.http;
        s.info = c.info;
        s.meta = "StreamTitle='First';";
        engine.scriptOpen(s);
        TfrChannelForm& ch = make();
        startPlaying(ch);
        run(10);  // the first DoMeta reads the title at once
        EXPECT_EQ(ch.StationName(), c.station);
        EXPECT_EQ(views[0]->bitrateLine, c.bitrateLine);
        EXPECT_EQ(ch.Freq(), c.info.freq);
        EXPECT_EQ(ch.Chans(), c.info.chans);
        EXPECT_EQ(ch.Title(), QStringLiteral("First"));
        EXPECT_EQ(views[0]->title, QStringLiteral("First"));
    }
}

TEST_F(ChannelMeta, TitleChangesAreAnnouncedOnceEach) {
    TfrChannelForm& ch = make();
    startPlaying(ch);
    run(10);
    ch.setTitleChanged(false);
    struct Step {
        std::string meta;
        QString title;
        bool announced;
    };
    const Step steps[] = {
        {"StreamTitle='One; Two';StreamUrl='';", QStringLiteral("One; Two"), true},
        {"StreamTitle='One; Two';StreamUrl='';", QStringLiteral("One; Two"), false},
        {"StreamTitle='Bj\xf6rk';", QStringLiteral("Bj\u00f6rk"), true},
        {"StreamTitle='Bj\xf6rk';", QStringLiteral("Bj\u00f6rk"), false},
        {"StreamTitle='Caf\xc3\xa9';", QStringLiteral("Caf\u00e9"), true},
        {"StreamTitle='Caf\xc3\xa9';", QStringLiteral("Caf\u00e9"), false},
        {"StreamUrl='no title';", QStringLiteral("Caf\u00e9"), false},
    };
    for (const Step& s : steps) {
        engine.setMeta(ch.Stream(), s.meta);  // fires the sync callback
        run(10);
        EXPECT_EQ(ch.Title(), s.title) << s.meta;
        EXPECT_EQ(ch.TitleChanged(), s.announced) << s.meta;
        ch.setTitleChanged(false);
    }
}

}  // namespace
}  // namespace qvm::test
