#pragma once

#include <QProcess>
#include <QTemporaryDir>
#include <memory>
#include <string>

#include "support/StreamServer.h"

namespace qvm::test {

struct HlsOptions {
    double toneHz = 440.0;
    double seconds = 20.0;  // length of a VOD stream
    double segmentSeconds = 2.0;
    std::string codec = "aac";  // ffmpeg -c:a (aac, libmp3lame, ...)
    int bitrateKbps = 128;
    int sampleRate = 44100;
    int channels = 2;
    // Live: ffmpeg keeps writing in real time (-re) while the fixture lives,
    // with a sliding window of `liveWindow` segments; old segments are deleted.
    bool live = false;
    int liveWindow = 5;
};

// An HLS stream written by the ffmpeg CLI into a temporary folder and served
// by a StreamServer under `prefix` ("/hls/" by default): the playlist is
// `prefix` + "index.m3u8", segments "seg00000.ts", ...
class HlsFixture {
  public:
    HlsFixture(StreamServer& server, HlsOptions options = {}, std::string prefix = "/hls/");
    ~HlsFixture();  // stops a live writer and removes the folder
    HlsFixture(const HlsFixture&) = delete;
    HlsFixture& operator=(const HlsFixture&) = delete;

    // Writes the stream (VOD: all of it; live: until the playlist lists
    // `liveWindow` segments, at most (liveWindow + 3) × segmentSeconds + 10 s)
    // and adds the folder to the server. False with error() when ffmpeg is
    // missing or fails; the message says which and why.
    [[nodiscard]] bool start();
    const std::string& error() const { return m_error; }

    std::string url() const;     // the playlist's URL
    std::string folder() const;  // local folder holding the playlist and segments
    const HlsOptions& options() const { return m_options; }

  private:
    QStringList arguments() const;
    bool playlistReady() const;

    StreamServer& m_server;
    HlsOptions m_options;
    std::string m_prefix;
    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_writer;  // the live ffmpeg process
    std::string m_error;
};

// The ffmpeg executable on PATH, empty when there is none.
std::string FindFfmpeg();

}  // namespace qvm::test
