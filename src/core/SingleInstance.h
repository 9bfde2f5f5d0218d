#pragma once

#include <sys/types.h>
#include <QLocalServer>
#include <QObject>
#include <QString>
#include <optional>

namespace qvm {

// Another running process whose executable has the same full path (compared
// without regard to letter case), found by walking /proc. The calling process
// itself never counts.
std::optional<pid_t> FindOtherInstance(const QString& executablePath);

// The folder where running copies offer their endpoints: the user's runtime
// folder (or /tmp/qvmirelta-link-<uid>), made private to the user.
QString LinkFolder();

// A running copy's endpoint for "restore and come forward" requests from a
// second copy started from the same path. UI thread.
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

  signals:
    void restoreRequested();

  private:
    QLocalServer m_server;
};

}  // namespace qvm
