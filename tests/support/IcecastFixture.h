#pragma once

#include <QProcess>
#include <QTemporaryDir>
#include <memory>
#include <string>

namespace qvm::test {

struct IcecastOptions {
    std::string mount = "/live.mp3";
    std::string name = "QVM Icecast";  // icy-name
    int bitrateKbps = 128;             // also sent as Ice-Bitrate (icy-br)
    double toneHz = 440.0;
    int sampleRate = 44100;
    int channels = 2;
    // The feeder's pace against the wall clock: a source whose clock runs
    // slow (0.99) or fast (1.01).
    double readRate = 1.0;
    // What the server sends a new listener at once: the newest this many bytes
    // of the stream (0: only what comes from then on).
    int burstBytes = 65535;
    // The feeder's lavfi source graph, mono or stereo at `sampleRate`; empty
    // for the endless tone of `toneHz`.
    std::string source;
};

// A real icecast2 server on a free loopback port, with a generated
// configuration in a temporary folder, and one mount fed by the ffmpeg CLI
// (an endless tone, MP3, sent by HTTP PUT with Ice-Name and Ice-Bitrate).
// The destructor stops the feeder and the server.
class IcecastFixture {
  public:
    explicit IcecastFixture(IcecastOptions options = {});
    ~IcecastFixture();
    IcecastFixture(const IcecastFixture&) = delete;
    IcecastFixture& operator=(const IcecastFixture&) = delete;

    // Starts icecast2 and the feeder and waits (at most ~20 s) until the mount
    // serves audio. False with error() when icecast2 or ffmpeg is missing or
    // either cannot start; the message includes their last log lines.
    [[nodiscard]] bool start();
    const std::string& error() const { return m_error; }

    int port() const { return m_port; }
    std::string url() const;  // the mount's URL
    const IcecastOptions& options() const { return m_options; }

    // Sets the mount's title through the admin interface; false on failure.
    bool setTitle(const std::string& title);

    static constexpr const char* kSourcePassword = "hackme";
    static constexpr const char* kAdminUser = "admin";
    static constexpr const char* kAdminPassword = "hackme";

  private:
    bool writeConfig();
    bool startServer();
    bool startFeeder();
    bool waitForMount();
    std::string logTail() const;
    void stopProcess(std::unique_ptr<QProcess>& process);

    IcecastOptions m_options;
    QTemporaryDir m_dir;
    int m_port = 0;
    std::unique_ptr<QProcess> m_server;
    std::unique_ptr<QProcess> m_feeder;
    std::string m_error;
};

}  // namespace qvm::test
