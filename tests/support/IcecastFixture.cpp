#include "support/IcecastFixture.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include "support/ChildProcess.h"
#include "support/HlsFixture.h"
#include "support/HttpBits.h"
#include "support/SocketIo.h"

namespace qvm::test {
namespace {

std::string XmlEscape(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

}  // namespace

IcecastFixture::IcecastFixture(IcecastOptions options) : m_options(std::move(options)) {}

IcecastFixture::~IcecastFixture() {
    stopProcess(m_feeder);
    stopProcess(m_server);
}

void IcecastFixture::stopProcess(std::unique_ptr<QProcess>& process) {
    if (!process) {
        return;
    }
    if (process->state() != QProcess::NotRunning) {
        process->terminate();
        if (!process->waitForFinished(3000)) {
            process->kill();
            process->waitForFinished(3000);
        }
    }
    process.reset();
}

std::string IcecastFixture::url() const {
    return "http://127.0.0.1:" + std::to_string(m_port) + m_options.mount;
}

std::string IcecastFixture::logTail() const {
    QFile log(m_dir.path() + QStringLiteral("/log/error.log"));
    std::string text;
    if (m_server) {
        text += OutputTail(m_server->readAll(), 5);
    }
    if (log.open(QIODevice::ReadOnly)) {
        text += (text.empty() ? "" : "\n") + OutputTail(log.readAll(), 8);
    }
    return text.empty() ? "(no output)" : text;
}

bool IcecastFixture::writeConfig() {
    const QString dir = m_dir.path();
    QDir().mkpath(dir + QStringLiteral("/log"));
    QDir().mkpath(dir + QStringLiteral("/web"));
    // Debian's web and admin folders hold status-json.xsl and the admin pages.
    const QString web = QFileInfo::exists(QStringLiteral("/usr/share/icecast2/web/status-json.xsl"))
                            ? QStringLiteral("/usr/share/icecast2/web")
                            : dir + QStringLiteral("/web");
    const QString admin = QFileInfo::exists(QStringLiteral("/usr/share/icecast2/admin"))
                              ? QStringLiteral("/usr/share/icecast2/admin")
                              : dir + QStringLiteral("/web");
    std::string security = "<security><chroot>0</chroot>";
    // icecast2 refuses to run as root: it must drop to an unprivileged user
    // that can write the log folder and pass through every parent folder.
    if (::geteuid() == 0) {
        const passwd* user = ::getpwnam("nobody");
        const group* grp = ::getgrnam("nogroup");
        if (!user || !grp) {
            m_error = "running as root, but there is no user nobody or group nogroup for icecast2";
            return false;
        }
        security += "<changeowner><user>nobody</user><group>nogroup</group></changeowner>";
        for (const QString& path :
             {dir, dir + QStringLiteral("/log"), dir + QStringLiteral("/web")}) {
            if (::chown(path.toLocal8Bit().constData(), user->pw_uid, grp->gr_gid) != 0) {
                m_error = "cannot hand " + path.toStdString() + " to nobody:nogroup";
                return false;
            }
        }
    }
    security += "</security>";
    QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                   QFileDevice::ExeOwner | QFileDevice::ReadGroup |
                                   QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                   QFileDevice::ExeOther);
    const std::string config =
        "<icecast>\n"
        " <limits><clients>100</clients><sources>10</sources><burst-size>" +
        std::to_string(m_options.burstBytes) +
        "</burst-size></limits>\n"
        " <authentication><source-password>" +
        std::string(kSourcePassword) + "</source-password><admin-user>" + kAdminUser +
        "</admin-user><admin-password>" + kAdminPassword +
        "</admin-password></authentication>\n"
        " <hostname>127.0.0.1</hostname>\n"
        " <listen-socket><port>" +
        std::to_string(m_port) +
        "</port><bind-address>127.0.0.1</bind-address></listen-socket>\n"
        " <paths><basedir>" +
        XmlEscape(dir.toStdString()) + "</basedir><logdir>" + XmlEscape(dir.toStdString()) +
        "/log</logdir><webroot>" + XmlEscape(web.toStdString()) + "</webroot><adminroot>" +
        XmlEscape(admin.toStdString()) +
        "</adminroot></paths>\n"
        " <logging><accesslog>access.log</accesslog><errorlog>error.log</errorlog><loglevel>3</"
        "loglevel></logging>\n"
        " " +
        security +
        "\n"
        "</icecast>\n";
    QFile file(dir + QStringLiteral("/icecast.xml"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(config.data(), static_cast<qint64>(config.size())) !=
            static_cast<qint64>(config.size())) {
        m_error = "cannot write the icecast2 configuration";
        return false;
    }
    file.setPermissions(file.permissions() | QFileDevice::ReadOther | QFileDevice::ReadGroup);
    return true;
}

bool IcecastFixture::startServer() {
    QString program = QStandardPaths::findExecutable(QStringLiteral("icecast2"));
    if (program.isEmpty()) {
        program = QStandardPaths::findExecutable(
            QStringLiteral("icecast2"), {QStringLiteral("/usr/bin"), QStringLiteral("/usr/sbin")});
    }
    if (program.isEmpty()) {
        m_error = "icecast2 is not installed (scripts/setup installs it)";
        return false;
    }
    m_server = std::make_unique<QProcess>();
    EndWithParent(*m_server);
    m_server->setProgram(program);
    m_server->setArguments({QStringLiteral("-c"), m_dir.path() + QStringLiteral("/icecast.xml")});
    m_server->setProcessChannelMode(QProcess::MergedChannels);
    m_server->start();
    if (!m_server->waitForStarted(10000)) {
        m_error = "cannot start icecast2: " + m_server->errorString().toStdString();
        return false;
    }
    QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        FetchOptions options;
        options.timeout = std::chrono::milliseconds(1000);
        if (Fetch("http://127.0.0.1:" + std::to_string(m_port) + "/status-json.xsl", options).ok) {
            return true;
        }
        if (m_server->waitForFinished(100)) {
            m_error = "icecast2 ended at start-up: " + logTail();
            return false;
        }
    }
    m_error = "icecast2 did not answer within 10 s: " + logTail();
    return false;
}

bool IcecastFixture::startFeeder() {
    const std::string ffmpeg = FindFfmpeg();
    if (ffmpeg.empty()) {
        m_error = "ffmpeg is not on PATH (scripts/setup installs it)";
        return false;
    }
    const QString source = m_options.source.empty() ? QStringLiteral("sine=f=%1:sample_rate=%2")
                                                          .arg(m_options.toneHz)
                                                          .arg(m_options.sampleRate)
                                                    : QString::fromStdString(m_options.source);
    const QString headers = QStringLiteral("Ice-Name: %1\r\nIce-Bitrate: %2\r\nIce-Public: 0\r\n")
                                .arg(QString::fromStdString(m_options.name))
                                .arg(m_options.bitrateKbps);
    const QString target = QStringLiteral("http://source:%1@127.0.0.1:%2%3")
                               .arg(QString::fromLatin1(kSourcePassword))
                               .arg(m_port)
                               .arg(QString::fromStdString(m_options.mount));
    m_feeder = std::make_unique<QProcess>();
    EndWithParent(*m_feeder);
    m_feeder->setProgram(QString::fromStdString(ffmpeg));
    m_feeder->setArguments({QStringLiteral("-hide_banner"),
                            QStringLiteral("-nostdin"),
                            QStringLiteral("-loglevel"),
                            QStringLiteral("error"),
                            QStringLiteral("-readrate"),
                            QString::number(m_options.readRate),
                            QStringLiteral("-f"),
                            QStringLiteral("lavfi"),
                            QStringLiteral("-i"),
                            source,
                            QStringLiteral("-ac"),
                            QString::number(m_options.channels),
                            QStringLiteral("-c:a"),
                            QStringLiteral("libmp3lame"),
                            QStringLiteral("-b:a"),
                            QStringLiteral("%1k").arg(m_options.bitrateKbps),
                            QStringLiteral("-f"),
                            QStringLiteral("mp3"),
                            QStringLiteral("-method"),
                            QStringLiteral("PUT"),
                            QStringLiteral("-chunked_post"),
                            QStringLiteral("0"),
                            QStringLiteral("-content_type"),
                            QStringLiteral("audio/mpeg"),
                            QStringLiteral("-auth_type"),
                            QStringLiteral("basic"),
                            QStringLiteral("-send_expect_100"),
                            QStringLiteral("0"),
                            QStringLiteral("-headers"),
                            headers,
                            target});
    m_feeder->setProcessChannelMode(QProcess::MergedChannels);
    m_feeder->start();
    if (!m_feeder->waitForStarted(10000)) {
        m_error = "cannot start the ffmpeg feeder: " + m_feeder->errorString().toStdString();
        return false;
    }
    return true;
}

bool IcecastFixture::waitForMount() {
    QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired()) {
        FetchOptions options;
        options.timeout = std::chrono::milliseconds(2000);
        options.maxBody = 4096;
        const FetchResult reply = Fetch(url(), options);
        if (reply.ok && reply.status == 200 && reply.body.size() >= options.maxBody) {
            return true;
        }
        if (m_feeder->waitForFinished(200)) {
            m_error = "the ffmpeg feeder ended: " + OutputTail(m_feeder->readAll(), 5) +
                      "\nicecast2: " + logTail();
            return false;
        }
    }
    m_error = "the mount " + m_options.mount + " did not go live within 20 s: " + logTail();
    return false;
}

bool IcecastFixture::start() {
    if (!m_dir.isValid()) {
        m_error = "cannot create a temporary folder";
        return false;
    }
    // The free port is found by binding and letting go; should another program
    // take it in between, icecast2 fails to bind and we try another one.
    for (int attempt = 0; attempt < 3; ++attempt) {
        stopProcess(m_server);
        m_port = io::FreeLoopbackPort();
        if (m_port == 0) {
            m_error = "no free loopback port";
            return false;
        }
        if (!writeConfig()) {
            return false;
        }
        if (startServer()) {
            break;
        }
        if (m_error.find("not installed") != std::string::npos || attempt == 2) {
            return false;
        }
    }
    return startFeeder() && waitForMount();
}

bool IcecastFixture::setTitle(const std::string& title) {
    FetchOptions options;
    options.headers = {
        {"Authorization", "Basic " + Base64(std::string(kAdminUser) + ":" + kAdminPassword)}};
    const FetchResult reply = Fetch("http://127.0.0.1:" + std::to_string(m_port) +
                                        "/admin/metadata?mount=" + PercentEncode(m_options.mount) +
                                        "&mode=updinfo&charset=UTF-8&song=" + PercentEncode(title),
                                    options);
    return reply.ok && reply.status == 200 &&
           reply.body.find("<return>1</return>") != std::string::npos;
}

}  // namespace qvm::test
