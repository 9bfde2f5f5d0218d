#include "core/EventLog.h"

#include <QFile>
#include <QFileInfo>

#include "core/Helpers.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

namespace qvm {

namespace {

// Standard error is the journal's stream socket when systemd runs us: it
// stamps each line itself.
bool StderrIsJournal() {
    const char* stream = std::getenv("JOURNAL_STREAM");
    struct stat st {};
    if (stream == nullptr || fstat(STDERR_FILENO, &st) != 0) {
        return false;
    }
    return QByteArray(stream) == QByteArray::number(static_cast<qulonglong>(st.st_dev)) + ':' +
                                     QByteArray::number(static_cast<qulonglong>(st.st_ino));
}

bool StderrIsSocket() {
    struct stat st {};
    return fstat(STDERR_FILENO, &st) == 0 && S_ISSOCK(st.st_mode);
}

// A journal that has stopped reading must not stop the UI thread: on a socket
// the line is dropped when it would wait. A terminal or a file is written as
// usual.
void WriteToStderr(const QByteArray& line, bool socket) {
    if (socket) {
        (void)::send(STDERR_FILENO, line.constData(), static_cast<size_t>(line.size()),
                     MSG_DONTWAIT | MSG_NOSIGNAL);
        return;
    }
    (void)::write(STDERR_FILENO, line.constData(), static_cast<size_t>(line.size()));
}

}  // namespace

EventLog::EventLog(QString folder, Clock clock)
    : m_folder(std::move(folder)), m_clock(std::move(clock)) {}

QString EventLog::pathFor(const QDateTime& when) const {
    return AddTrailingBackslash(m_folder) + QStringLiteral("Log/") +
           when.date().toString(QStringLiteral("yyyy/MM/dd")) + QStringLiteral(".log");
}

void EventLog::setEcho(bool echo) {
    m_echo = echo;
    m_echoUnstamped = echo && StderrIsJournal();
    m_echoToSocket = echo && StderrIsSocket();
}

void EventLog::Log(const QString& text) {
    if (!m_enabled && !m_echo) {
        return;
    }
    const QDateTime now = m_clock();
    const QByteArray line =
        now.time().toString(QStringLiteral("HH:mm:ss")).toUtf8() + ' ' + text.toUtf8() + '\n';
    if (m_echo) {
        WriteToStderr(m_echoUnstamped ? line.mid(9) : line, m_echoToSocket);
    }
    if (!m_enabled) {
        return;
    }
    const QString path = pathFor(now);
    if (!ForceFolders(QFileInfo(path).path())) {
        return;
    }
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        return;
    }
    file.write(line);
    file.close();
}

}  // namespace qvm
