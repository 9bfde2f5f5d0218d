#include "core/SingleInstance.h"

#include <sys/stat.h>
#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>

#include "core/Helpers.h"

namespace qvm {

std::optional<pid_t> FindOtherInstance(const QString& executablePath) {
    const QString own = AsciiUpper(executablePath);
    const pid_t self = getpid();
    const QStringList entries =
        QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& entry : entries) {
        bool numeric = false;
        const pid_t pid = entry.toInt(&numeric);
        if (!numeric || pid == self) {
            continue;
        }
        // Processes of other users or already gone simply do not resolve.
        const QString exe = QFileInfo(QStringLiteral("/proc/%1/exe").arg(entry)).symLinkTarget();
        if (!exe.isEmpty() && AsciiUpper(exe) == own) {
            return pid;
        }
    }
    return std::nullopt;
}

QString LinkFolder() {
    QString base = qEnvironmentVariable("XDG_RUNTIME_DIR");
    QString folder = base.isEmpty() ? QStringLiteral("/tmp/qvmirelta-link-%1").arg(getuid())
                                    : AddTrailingBackslash(base) + QStringLiteral("qvmirelta-link");
    QDir().mkpath(folder);
    ::chmod(QFile::encodeName(folder).constData(), 0700);
    return folder;
}

QString InstanceEndpoint::pathFor(pid_t pid) {
    return AddTrailingBackslash(LinkFolder()) + QStringLiteral("instance-%1").arg(pid);
}

InstanceEndpoint::InstanceEndpoint(QObject* parent) : QObject(parent) {
    const QString path = pathFor(getpid());
    QLocalServer::removeServer(path);  // a leftover of a crashed copy with our pid
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    m_server.listen(path);
    connect(&m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = m_server.nextPendingConnection()) {
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                if (socket->readAll().contains("RESTORE")) {
                    socket->write("OK\n");
                    socket->flush();
                    emit restoreRequested();
                }
                socket->disconnectFromServer();
            });
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
}

InstanceEndpoint::~InstanceEndpoint() {
    m_server.close();
    QLocalServer::removeServer(pathFor(getpid()));
}

bool InstanceEndpoint::AskToRestore(pid_t pid, int timeoutMs) {
    QLocalSocket socket;
    socket.connectToServer(pathFor(pid));
    if (!socket.waitForConnected(timeoutMs)) {
        return false;
    }
    socket.write("RESTORE\n");
    if (!socket.waitForBytesWritten(timeoutMs)) {
        return false;
    }
    return socket.waitForReadyRead(timeoutMs) && socket.readAll().startsWith("OK");
}

}  // namespace qvm
