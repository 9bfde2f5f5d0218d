#include "support/HlsFixture.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QStandardPaths>
#include <QThread>
#include "support/ChildProcess.h"

#if defined(__SANITIZE_THREAD__)
// QProcess starts its child with clone(CLONE_VM | CLONE_VFORK): the child runs
// in our memory until it execs, and ThreadSanitizer takes that for a fork of a
// threaded process, then kills us at the next thread the stream server starts.
// The child only execs, so nothing of a real fork's hazards applies. Every
// test that starts ffmpeg or icecast2 links this file.
extern "C" const char* __tsan_default_options() {
    return "die_after_fork=0";
}
#endif

namespace qvm::test {
std::string FindFfmpeg() {
    return QStandardPaths::findExecutable(QStringLiteral("ffmpeg")).toStdString();
}

HlsFixture::HlsFixture(StreamServer& server, HlsOptions options, std::string prefix)
    : m_server(server), m_options(std::move(options)), m_prefix(std::move(prefix)) {}

HlsFixture::~HlsFixture() {
    m_server.remove(m_prefix);
    if (m_writer) {
        m_writer->terminate();
        if (!m_writer->waitForFinished(3000)) {
            m_writer->kill();
            m_writer->waitForFinished(3000);
        }
    }
}

std::string HlsFixture::url() const {
    return m_server.url(m_prefix + "index.m3u8");
}

std::string HlsFixture::folder() const {
    return m_dir.path().toStdString();
}

QStringList HlsFixture::arguments() const {
    const QString dir = m_dir.path();
    QString source =
        QStringLiteral("sine=f=%1:sample_rate=%2").arg(m_options.toneHz).arg(m_options.sampleRate);
    if (!m_options.live) {
        source += QStringLiteral(":d=%1").arg(m_options.seconds);
    }
    QStringList args = {QStringLiteral("-hide_banner"), QStringLiteral("-nostdin"),
                        QStringLiteral("-loglevel"), QStringLiteral("error")};
    if (m_options.live) {
        args << QStringLiteral("-re");
    }
    args << QStringLiteral("-f") << QStringLiteral("lavfi") << QStringLiteral("-i") << source
         << QStringLiteral("-ac") << QString::number(m_options.channels) << QStringLiteral("-c:a")
         << QString::fromStdString(m_options.codec) << QStringLiteral("-b:a")
         << QStringLiteral("%1k").arg(m_options.bitrateKbps) << QStringLiteral("-f")
         << QStringLiteral("hls") << QStringLiteral("-hls_time")
         << QString::number(m_options.segmentSeconds) << QStringLiteral("-hls_segment_filename")
         << dir + QStringLiteral("/seg%05d.ts");
    if (m_options.live) {
        args << QStringLiteral("-hls_list_size") << QString::number(m_options.liveWindow)
             << QStringLiteral("-hls_flags") << QStringLiteral("delete_segments+temp_file");
    } else {
        args << QStringLiteral("-hls_list_size") << QStringLiteral("0")
             << QStringLiteral("-hls_playlist_type") << QStringLiteral("vod");
    }
    args << dir + QStringLiteral("/index.m3u8");
    return args;
}

bool HlsFixture::playlistReady() const {
    QFile playlist(m_dir.path() + QStringLiteral("/index.m3u8"));
    if (!playlist.open(QIODevice::ReadOnly)) {
        return false;
    }
    return playlist.readAll().count("#EXTINF") >= m_options.liveWindow;
}

bool HlsFixture::start() {
    const std::string ffmpeg = FindFfmpeg();
    if (ffmpeg.empty()) {
        m_error = "ffmpeg is not on PATH (scripts/setup installs it)";
        return false;
    }
    if (!m_dir.isValid()) {
        m_error = "cannot create a temporary folder";
        return false;
    }
    auto process = std::make_unique<QProcess>();
    process->setProgram(QString::fromStdString(ffmpeg));
    process->setArguments(arguments());
    process->setProcessChannelMode(QProcess::MergedChannels);
    EndWithParent(*process);
    process->start();
    if (!process->waitForStarted(10000)) {
        m_error = "cannot start ffmpeg: " + process->errorString().toStdString();
        return false;
    }
    if (!m_options.live) {
        if (!process->waitForFinished(120000) || process->exitStatus() != QProcess::NormalExit ||
            process->exitCode() != 0) {
            m_error = "ffmpeg could not write the HLS stream: " + OutputTail(process->readAll(), 5);
            process->kill();
            process->waitForFinished(3000);
            return false;
        }
        m_server.addFolder(m_prefix, folder());
        return true;
    }
    const double limit = (m_options.liveWindow + 3) * m_options.segmentSeconds + 10.0;
    QDeadlineTimer deadline(static_cast<qint64>(limit * 1000));
    while (!playlistReady()) {
        if (process->state() != QProcess::Running) {
            m_error =
                "ffmpeg stopped writing the live HLS stream: " + OutputTail(process->readAll(), 5);
            return false;
        }
        if (deadline.hasExpired()) {
            m_error = "the live HLS playlist did not fill within " + std::to_string(limit) + " s";
            process->kill();
            process->waitForFinished(3000);
            return false;
        }
        process->waitForFinished(100);  // sleeps 100 ms unless ffmpeg ends
    }
    m_writer = std::move(process);
    m_server.addFolder(m_prefix, folder());
    return true;
}

}  // namespace qvm::test
