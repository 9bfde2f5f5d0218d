#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <memory>

namespace qvm {

// Turns SIGTERM, SIGINT and SIGHUP into a Qt signal on the UI thread. The handler only
// writes the signal number into a pipe (async-signal-safe); a socket notifier
// on the pipe's other end emits terminationRequested from the event loop. At
// most one object exists at a time; it puts the previous handlers back when it
// goes. UI thread.
class TerminationSignals : public QObject {
    Q_OBJECT
  public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

    // False when the pipe or a handler could not be set up.
    bool active() const { return m_notifier != nullptr; }

  signals:
    void terminationRequested(int signal);

  private:
    void drain();

    std::unique_ptr<QSocketNotifier> m_notifier;
};

}  // namespace qvm
