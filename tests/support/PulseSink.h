#pragma once

#include <signal.h>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace qvm::test {

// A headless PulseAudio with a null sink stands in for a sound card: the
// engine opens its PortAudio device, and the sink's monitor hears the tone.
class PulseSink {
  public:
    bool start(std::string& why) {
        if (!m_dir.isValid()) {
            why = "no temporary folder";
            return false;
        }
        const QString d = m_dir.path();
        const QString rt = d + "/rt";
        QDir().mkpath(rt);
        QDir().mkpath(d + "/home");
        QFile::setPermissions(
            rt, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        m_env = QProcessEnvironment::systemEnvironment();
        m_env.insert("XDG_RUNTIME_DIR", rt);
        m_env.insert("HOME", d + "/home");
        m_env.insert("PULSE_SERVER", "unix:" + rt + "/pulse/native");
        m_pidFile = rt + "/pulse/pid";
        if (!startServer(why)) {
            return false;
        }
        for (const char* name : {"XDG_RUNTIME_DIR", "HOME", "PULSE_SERVER"}) {
            m_saved.emplace_back(name, std::getenv(name) ? std::getenv(name) : "");
            ::setenv(name, m_env.value(name).toUtf8().constData(), 1);
        }
        return true;
    }
    // Starts the sound server (again, after killServer) with the same sink.
    bool startServer(std::string& why) {
        QProcess daemon;
        daemon.setProcessEnvironment(m_env);
        daemon.start(
            "pulseaudio",
            {"--daemonize=yes", "--system=no", "--exit-idle-time=-1", "-n",
             "--log-target=file:" + m_dir.path() + "/pulse.log",
             "--load=module-null-sink sink_name=qvm_sink rate=48000 channels=2",
             "--load=module-native-protocol-unix auth-anonymous=1", "--load=module-always-sink"});
        if (!daemon.waitForFinished(15000) || daemon.exitStatus() != QProcess::NormalExit ||
            daemon.exitCode() != 0) {
            why = "pulseaudio did not start: " + daemon.readAllStandardError().toStdString();
            return false;
        }
        return true;
    }
    // Kills the sound server outright, as a crash would; waitServerGone()
    // waits until the process has gone.
    bool killServer() {
        m_killed = serverPid();
        return m_killed > 0 && ::kill(static_cast<pid_t>(m_killed), SIGKILL) == 0;
    }
    bool waitServerGone() {
        for (int i = 0; i < 500 && ::kill(static_cast<pid_t>(m_killed), 0) == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        QFile::remove(m_pidFile);
        return ::kill(static_cast<pid_t>(m_killed), 0) != 0;
    }
    long serverPid() const {
        QFile pid(m_pidFile);
        return pid.open(QIODevice::ReadOnly) ? pid.readAll().trimmed().toLong() : 0;
    }
    bool record(const QString& file) {
        m_recorder.setProcessEnvironment(m_env);
        m_recorder.start("parecord",
                         {"--device=qvm_sink.monitor", "--rate=48000", "--channels=2",
                          "--format=s16le", "--file-format=wav", "--latency-msec=50", file});
        return m_recorder.waitForStarted(5000);
    }
    void stopRecording() {
        // SIGINT makes parecord drain what it holds and finish the file.
        ::kill(static_cast<pid_t>(m_recorder.processId()), SIGINT);
        m_recorder.waitForFinished(5000);
    }
    ~PulseSink() {
        if (m_recorder.state() != QProcess::NotRunning) {
            m_recorder.kill();
            m_recorder.waitForFinished(2000);
        }
        {
            const long p = m_pidFile.isEmpty() ? 0 : serverPid();
            if (p > 0 && ::kill(static_cast<pid_t>(p), SIGTERM) == 0) {
                // Its folder goes with m_dir: let it leave first.
                for (int i = 0; i < 300 && ::kill(static_cast<pid_t>(p), 0) == 0; ++i) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
            }
        }
        for (const auto& [name, value] : m_saved) {
            ::setenv(name.c_str(), value.c_str(), 1);
        }
    }
    QString file(const QString& name) const { return m_dir.filePath(name); }

  private:
    QTemporaryDir m_dir;
    QProcessEnvironment m_env;
    QString m_pidFile;
    long m_killed = 0;
    QProcess m_recorder;
    std::vector<std::pair<std::string, std::string>> m_saved;
};

}  // namespace qvm::test
