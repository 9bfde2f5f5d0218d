#include <gtest/gtest.h>

#include <string_view>

#include "audio/Playlist.h"

namespace qvm::audio {
namespace {

TEST(Playlist, KindFromContentTypeAndUrl) {
    const struct {
        const char* contentType;
        DocKind kind;
    } types[] = {
        {"audio/x-scpls", DocKind::Pls},         {"Audio/X-SCPLS; charset=utf-8", DocKind::Pls},
        {"audio/x-mpegurl", DocKind::M3u},       {"application/vnd.apple.mpegurl", DocKind::Hls},
        {"application/xspf+xml", DocKind::Xspf}, {"text/html; charset=UTF-8", DocKind::Html},
        {"audio/mpeg", DocKind::Unknown},        {"", DocKind::Unknown},
    };
    for (const auto& c : types) {
        EXPECT_EQ(KindFromContentType(c.contentType), c.kind) << c.contentType;
    }
    const struct {
        const char* url;
        DocKind kind;
    } urls[] = {
        {"http://h/list.pls", DocKind::Pls},
        {"http://h/a/LIST.PLS?x=1#f", DocKind::Pls},
        {"http://h/list.m3u", DocKind::M3u},
        {"http://h/index.m3u8", DocKind::M3u},
        {"http://h/list.xspf", DocKind::Xspf},
        {"http://h/stream.mp3", DocKind::Unknown},
        {"http://h/dir.pls/stream", DocKind::Unknown},
        {"http://h.pls", DocKind::Unknown},  // a dot in the host is no extension
        {"http://h/stream?file=a.pls", DocKind::Unknown},
    };
    for (const auto& c : urls) {
        EXPECT_EQ(KindFromUrl(c.url), c.kind) << c.url;
    }
}

TEST(Playlist, SniffsBodies) {
    const struct {
        const char* head;
        DocKind kind;
    } cases[] = {
        {"[playlist]\nFile1=http://a/\n", DocKind::Pls},
        {"\xEF\xBB\xBF  [Playlist]\r\n", DocKind::Pls},
        {"#EXTM3U\n#EXTINF:-1,x\nhttp://a/\n", DocKind::M3u},
        {"<!DOCTYPE html><html>", DocKind::Html},
        {"<HTML><body>", DocKind::Html},
        {"<?xml version=\"1.0\"?><playlist version=\"1\">", DocKind::Xspf},
        {"ID3\x03", DocKind::Unknown},
        {"\xFF\xFB\x90\x00", DocKind::Unknown},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SniffKind(c.head), c.kind) << c.head;
    }
    EXPECT_TRUE(IsHlsPlaylist("#EXTM3U\n#EXT-X-VERSION:3\n#EXTINF:2,\nseg0.ts\n"));
    EXPECT_FALSE(IsHlsPlaylist("#EXTM3U\n#EXTINF:-1,Radio\nhttp://a/stream\n"));
}

TEST(Playlist, EntriesInOrderResolvedAndOnlyHttp) {
    static constexpr char kMp3Head[] = "ID3\x03\0\0\0\0\0!TIT2\0\0\0\x05\0\0\0Live\xff\xfb";
    const std::string base = "http://host:8000/lists/radio.pls?token=1";
    const struct {
        const char* name;
        DocKind kind;
        std::string_view text;
        std::vector<std::string> expected;
    } cases[] = {
        {"pls ordered by number, not by line",
         DocKind::Pls,
         "[playlist]\r\nNumberOfEntries=3\r\nFile2=http://b/two\r\nTitle1=One\r\n"
         "File1=http://a/one\r\nfile3 = /abs/three\r\nFileX=http://bad/\r\nVersion=2\r\n",
         {"http://a/one", "http://b/two", "http://host:8000/abs/three"}},
        {"m3u skips comments and blank lines, resolves relative entries",
         DocKind::M3u,
         "#EXTM3U\n\n#EXTINF:-1,One\nhttp://a/one\n  rel/two.mp3  \n//c/three\n",
         {"http://a/one", "http://host:8000/lists/rel/two.mp3", "http://c/three"}},
        {"xspf locations with entities",
         DocKind::Xspf,
         "<?xml version=\"1.0\"?><playlist><trackList>"
         "<track><location>http://a/one?x=1&amp;y=2</location></track>"
         "<track><location> http://b/two </location></track></trackList></playlist>",
         {"http://a/one?x=1&y=2", "http://b/two"}},
        {"local files and other schemes are never followed",
         DocKind::M3u,
         "file:///etc/passwd\nftp://a/x\nHTTPS://secure/s\nmms://old/stream\n",
         {"HTTPS://secure/s"}},
        {"nothing playable", DocKind::Pls, "[playlist]\nNumberOfEntries=0\n", {}},
        {"entries with control characters are no addresses",
         DocKind::Xspf,
         "<playlist><location>http://a/one\r\nHost: b</location>"
         "<location>http://a/tab\there</location><location>http://a/ok</location></playlist>",
         {"http://a/ok"}},
        {"binary served as a playlist gives nothing",
         DocKind::M3u,
         std::string_view(kMp3Head, sizeof kMp3Head - 1),
         {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ParsePlaylist(c.kind, c.text, base), c.expected) << c.name;
    }
}

}  // namespace
}  // namespace qvm::audio
