#include "e2e/PlayerProcess.h"

#include <csignal>

#include <QDir>
#include <QFile>
#include <QProcessEnvironment>
#include <QThread>
#include <stdexcept>
#include "support/ChildProcess.h"

namespace qvm::test {

namespace {

QString BinaryFolder() {
    const QByteArray fromEnv = qgetenv("QVM_INSTALL_DIR");
    return QString::fromLocal8Bit(fromEnv.isEmpty() ? QByteArray(QVM_E2E_BIN_DIR) : fromEnv);
}

void CopyOrThrow(const QString& from, const QString& to) {
    QFile::remove(to);
    if (!QFile::copy(from, to)) {
        throw std::runtime_error("cannot copy " + from.toStdString() + " to " + to.toStdString());
    }
}

}  // namespace

PlayerProcess::PlayerProcess(QString folder) : m_folder(std::move(folder)) {
    const QDir bin(BinaryFolder());
    replaceExecutable();
    const QStringList languages =
        bin.entryList({QStringLiteral("QVMirelta.*.lng")}, QDir::Files, QDir::Name);
    if (languages.isEmpty()) {
        throw std::runtime_error("no language files beside the built player");
    }
    for (const QString& name : languages) {
        CopyOrThrow(bin.filePath(name), m_folder + name);
    }
}

void PlayerProcess::replaceExecutable() const {
    CopyOrThrow(QDir(BinaryFolder()).filePath(QStringLiteral("QVMirelta")), executable());
    QFile::setPermissions(executable(), QFile::permissions(executable()) | QFile::ExeOwner);
}

PlayerProcess::~PlayerProcess() {
    if (running()) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

void PlayerProcess::writeIni(const QString& text) const {
    QFile file(m_folder + QStringLiteral("QVMirelta.ini"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(text.toUtf8()) < 0) {
        throw std::runtime_error("cannot write the settings file");
    }
}

bool PlayerProcess::start() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("QVMIRELTA_CAPTURE_WAV"), capturePath());
    env.insert(m_env);
    m_process.setProcessEnvironment(env);
    // Files rather than pipes: nobody reads a pipe while the test sleeps, and a
    // full pipe would stall the player.
    m_process.setStandardOutputFile(m_folder + QStringLiteral("stdout.txt"));
    m_process.setStandardErrorFile(m_folder + QStringLiteral("stderr.txt"));
    m_process.setWorkingDirectory(m_folder);
    EndWithParent(m_process);
    m_process.start(executable(), {});
    return m_process.waitForStarted(10000);
}

bool PlayerProcess::waitForExit(std::chrono::milliseconds bound) {
    if (!running()) {
        return true;
    }
    return m_process.waitForFinished(static_cast<int>(bound.count()));
}

::testing::AssertionResult PlayerProcess::terminate(std::chrono::milliseconds bound, int signo) {
    if (!running()) {
        return ::testing::AssertionFailure()
               << "the player had already ended (code " << m_process.exitCode() << ")\n"
               << output().toStdString();
    }
    ::kill(static_cast<pid_t>(m_process.processId()), signo);
    if (!m_process.waitForFinished(static_cast<int>(bound.count()))) {
        return ::testing::AssertionFailure()
               << "the player did not end within " << bound.count() << " ms of signal " << signo;
    }
    if (m_process.exitStatus() != QProcess::NormalExit || m_process.exitCode() != 0) {
        return ::testing::AssertionFailure()
               << "the player ended with status " << m_process.exitStatus() << " code "
               << m_process.exitCode() << "\n"
               << output().toStdString();
    }
    return ::testing::AssertionSuccess();
}

QString PlayerProcess::output() const {
    QString text;
    for (const char* name : {"stdout.txt", "stderr.txt"}) {
        QFile file(m_folder + QLatin1String(name));
        if (file.open(QIODevice::ReadOnly)) {
            text += QString::fromUtf8(file.readAll().right(4000));
        }
    }
    return text;
}

std::optional<WavData> PlayerProcess::capture() const {
    return ReadWav(capturePath().toStdString());
}

std::optional<WavData> PlayerProcess::waitForCapture(
    const std::function<bool(const WavData&)>& ready, std::chrono::milliseconds timeout) const {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::optional<WavData> wav;
    for (;;) {
        wav = capture();
        if (wav && wav->sampleRate > 0 && ready(*wav)) {
            return wav;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return wav;
        }
        QThread::msleep(250);
    }
}

QString WriteAppendScript(const QString& folder, const QString& name, const QString& word,
                          const QString& target) {
    const QString path = folder + name;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        throw std::runtime_error("cannot write a script");
    }
    file.write(QStringLiteral("#!/bin/sh\necho %1 >> '%2'\n").arg(word, target).toUtf8());
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

QStringList ReadLines(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        QThread::msleep(50);
    }
    return true;
}

}  // namespace qvm::test
