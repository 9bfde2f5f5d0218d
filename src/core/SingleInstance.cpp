#include "core/SingleInstance.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QThread>
#include <cerrno>
#include <chrono>

#include "core/Helpers.h"

namespace qvm {

namespace {

int OpenLockFile(const QString& path) {
    return ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW,
                  0644);
}

// The whole file, write-locked on this open file description.
bool LockWhole(int fd) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

// The pid the holder wrote into the file; 0 while it has not.
pid_t ReadHolder(int fd) {
    char text[32] = {};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    return n > 0 ? static_cast<pid_t>(std::atol(text)) : 0;
}

void WriteOwnPid(int fd) {
    const QByteArray pid = QByteArray::number(::getpid()) + '\n';
    if (::ftruncate(fd, 0) == 0) {
        [[maybe_unused]] const ssize_t n = ::pwrite(fd, pid.constData(), pid.size(), 0);
    }
}

}  // namespace

InstanceLock::~InstanceLock() {
    if (m_fd >= 0) {
        ::close(m_fd);  // releases the lock; the file stays for the next start
    }
}

QString InstanceLock::PathFor(const QString& executablePath) {
    return executablePath + QStringLiteral(".lock");
}

namespace {

// Beside the executable first; a folder that cannot take the file (a read-only
// installation) sends it to the user's link folder.
QString FallbackPath(const QString& executablePath) {
    const QByteArray key =
        QCryptographicHash::hash(AsciiUpper(executablePath).toUtf8(), QCryptographicHash::Sha1)
            .toHex()
            .left(16);
    return AddTrailingBackslash(LinkFolder()) + QStringLiteral("instance-") +
           QString::fromLatin1(key) + QStringLiteral(".lock");
}

}  // namespace

pid_t InstanceLock::Holder(const QString& executablePath) {
    for (const QString& path : {PathFor(executablePath), FallbackPath(executablePath)}) {
        const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            const pid_t pid = ReadHolder(fd);
            ::close(fd);
            return pid;
        }
    }
    return 0;
}

std::unique_ptr<InstanceLock> InstanceLock::Acquire(const QString& executablePath, pid_t* holder) {
    if (holder != nullptr) {
        *holder = 0;
    }
    QString path = PathFor(executablePath);
    int fd = OpenLockFile(path);
    if (fd < 0) {
        path = FallbackPath(executablePath);
        fd = OpenLockFile(path);
    }
    if (fd < 0) {
        return std::unique_ptr<InstanceLock>(new InstanceLock(-1, path));
    }
    if (!LockWhole(fd)) {
        if (holder != nullptr) {
            *holder = ReadHolder(fd);
        }
        ::close(fd);
        return nullptr;
    }
    WriteOwnPid(fd);
    return std::unique_ptr<InstanceLock>(new InstanceLock(fd, path));
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

bool InstanceEndpoint::AskToRestoreWhenReady(const std::function<pid_t()>& holder, int patienceMs) {
    using Clock = std::chrono::steady_clock;
    const auto until = Clock::now() + std::chrono::milliseconds(patienceMs);
    for (;;) {
        const pid_t pid = holder();
        if (pid > 0 && AskToRestore(pid, 500)) {
            return true;
        }
        if (Clock::now() >= until) {
            return false;
        }
        QThread::msleep(100);
    }
}

}  // namespace qvm
