#pragma once

#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <chrono>
#include <csignal>
#include <functional>
#include <optional>

#include "support/AudioAnalysis.h"

namespace qvm::test {

// The real player binary in a folder of its own: a copy of the executable and
// its language files, so that its settings, log and single-instance check
// belong to that folder alone. It runs headless on the null output and
// captures its final mix to capture.wav in the same folder.
class PlayerProcess {
  public:
    // Copies the binary and the language files into `folder` (which ends in '/').
    explicit PlayerProcess(QString folder);
    ~PlayerProcess();
    PlayerProcess(const PlayerProcess&) = delete;
    PlayerProcess& operator=(const PlayerProcess&) = delete;

    QString folder() const { return m_folder; }
    QString executable() const { return m_folder + QStringLiteral("QVMirelta"); }
    QString capturePath() const { return m_folder + QStringLiteral("capture.wav"); }

    void writeIni(const QString& text) const;
    // Puts a fresh copy of the built binary in place of the executable, as an
    // update does: a new file, while a running copy keeps the old one open.
    void replaceExecutable() const;
    // Adds a variable to the player's environment (for the next start).
    void setEnv(const QString& name, const QString& value) { m_env.insert(name, value); }
    // Starts the player; false when it could not be started.
    bool start();
    bool running() const { return m_process.state() != QProcess::NotRunning; }
    qint64 pid() const { return m_process.processId(); }
    // Waits up to `bound` for the process to end by itself.
    bool waitForExit(std::chrono::milliseconds bound);
    // Sends `signo` (SIGTERM by default), then succeeds when the process ends
    // normally with code 0 within `bound`.
    ::testing::AssertionResult terminate(std::chrono::milliseconds bound, int signo = SIGTERM);
    int exitCode() const { return m_process.exitCode(); }
    QProcess::ExitStatus exitStatus() const { return m_process.exitStatus(); }
    // What the player wrote to stdout and stderr, for failure messages.
    QString output() const;

    // The capture as written so far (it is flushed about once a second).
    std::optional<WavData> capture() const;
    // Polls the capture until `ready` accepts it or `timeout` passes; returns
    // the last capture read either way (empty when none could be read).
    std::optional<WavData> waitForCapture(const std::function<bool(const WavData&)>& ready,
                                          std::chrono::milliseconds timeout) const;

  private:
    QString m_folder;
    QProcess m_process;
    QProcessEnvironment m_env;
};

// Writes an executable shell script `name` into `folder` that appends a line
// holding `word` to `target`; returns the script's path.
QString WriteAppendScript(const QString& folder, const QString& name, const QString& word,
                          const QString& target);

// The non-empty lines of a text file (none when it does not exist).
QStringList ReadLines(const QString& path);

// Polls `condition` every 50 ms until it holds or `timeout` passes.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

}  // namespace qvm::test
