#pragma once

#include <sys/types.h>
#include <QLocalServer>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>

namespace qvm {

// One player per installation: a lock on a file beside the executable
// (<executable>.lock), held for the life of the process. Taking it is atomic,
// so of two copies started at the same moment exactly one runs, and it
// belongs to the installation's path, not to the executable's file, so a copy
// whose binary has been replaced meanwhile still holds it. Where the
// installation folder cannot take the file, the lock lives in the user's link
// folder under a name made from the path (compared without regard to ASCII
// case, as the original process walk did).
//
// The lock is an open-file-description lock: the kernel drops it when the
// process ends in any way, and programs the player starts do not inherit it.
class InstanceLock {
  public:
    ~InstanceLock();
    InstanceLock(const InstanceLock&) = delete;
    InstanceLock& operator=(const InstanceLock&) = delete;

    // Takes the installation's lock. Null when another copy holds it; `holder`
    // then gets that copy's pid, or 0 while it has not written it yet. When no
    // lock file can be made anywhere, the result holds nothing: a player that
    // runs unguarded is better than none.
    static std::unique_ptr<InstanceLock> Acquire(const QString& executablePath, pid_t* holder);

    // The pid the holder of the installation's lock wrote, 0 when none.
    static pid_t Holder(const QString& executablePath);

    // Where the lock of an installation lives first.
    static QString PathFor(const QString& executablePath);
    bool held() const { return m_fd >= 0; }
    QString path() const { return m_path; }

  private:
    InstanceLock(int fd, QString path) : m_fd(fd), m_path(std::move(path)) {}
    int m_fd = -1;
    QString m_path;
};

// The folder where running copies offer their endpoints: the user's runtime
// folder (or /tmp/qvmirelta-link-<uid>), made private to the user.
QString LinkFolder();

// A running copy's endpoint for "restore and come forward" requests from a
// second copy of the same installation. UI thread.
class InstanceEndpoint : public QObject {
    Q_OBJECT
  public:
    explicit InstanceEndpoint(QObject* parent = nullptr);
    ~InstanceEndpoint() override;
    bool listening() const { return m_server.isListening(); }

    static QString pathFor(pid_t pid);
    // Asks the copy with that pid to restore its window; false when it cannot
    // be reached within `timeoutMs`.
    static bool AskToRestore(pid_t pid, int timeoutMs = 1000);
    // The same for a copy that may still be starting (its endpoint not yet
    // listening, its pid not yet known): asks `holder()` again until it answers
    // or `patienceMs` has passed.
    static bool AskToRestoreWhenReady(const std::function<pid_t()>& holder, int patienceMs);

  signals:
    void restoreRequested();

  private:
    QLocalServer m_server;
};

}  // namespace qvm
