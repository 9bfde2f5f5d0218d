// The player as systemd runs it: headless in its own folder, with a
// notification socket and a watchdog interval in its environment. The test
// stands in for the service manager and reads what the player tells it.
#include <gtest/gtest.h>

#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>
#include <vector>

#include "e2e/E2eSupport.h"
#include "e2e/PlayerProcess.h"
#include "support/StreamServer.h"
#include "support/TempDir.h"

namespace qvm::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// One notification as it arrived: its lines and when.
struct Notification {
    Clock::time_point at;
    QStringList lines;
};

// The service manager's end of NOTIFY_SOCKET: a Unix datagram socket.
class NotifySocket {
  public:
    explicit NotifySocket(const QString& path) : m_path(path.toStdString()) {
        m_fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, m_path.c_str(), sizeof(addr.sun_path) - 1);
        ::unlink(m_path.c_str());
        if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
            throw std::runtime_error("cannot bind the notification socket");
        }
        timeval tv{0, 20'000};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    }
    ~NotifySocket() {
        ::close(m_fd);
        ::unlink(m_path.c_str());
    }
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    // Everything that arrives within `span`.
    std::vector<Notification> collect(std::chrono::milliseconds span) {
        std::vector<Notification> out;
        const auto end = Clock::now() + span;
        char buf[4096];
        while (Clock::now() < end) {
            const ssize_t n = ::recv(m_fd, buf, sizeof(buf), 0);
            if (n > 0) {
                out.push_back({Clock::now(), QString::fromUtf8(buf, static_cast<int>(n))
                                                 .split(QLatin1Char('\n'), Qt::SkipEmptyParts)});
            }
        }
        return out;
    }
    // Collects until a notification holds `line`; everything up to it.
    std::vector<Notification> until(const QString& line, std::chrono::milliseconds timeout) {
        std::vector<Notification> out;
        const auto end = Clock::now() + timeout;
        while (Clock::now() < end) {
            for (Notification& n : collect(20ms)) {
                const bool found = n.lines.contains(line);
                out.push_back(std::move(n));
                if (found) {
                    return out;
                }
            }
        }
        return out;
    }

  private:
    std::string m_path;
    int m_fd = -1;
};

int Count(const std::vector<Notification>& notes, const QString& line) {
    int count = 0;
    for (const Notification& n : notes) {
        count += n.lines.contains(line) ? 1 : 0;
    }
    return count;
}

QStringList Starting(const std::vector<Notification>& notes, const QString& prefix) {
    QStringList out;
    for (const Notification& n : notes) {
        for (const QString& line : n.lines) {
            if (line.startsWith(prefix)) {
                out += line;
            }
        }
    }
    return out;
}

std::string Dump(const std::vector<Notification>& notes) {
    QStringList all;
    for (const Notification& n : notes) {
        all += n.lines.join(QLatin1Char(','));
    }
    return all.join(QLatin1String(" | ")).toStdString();
}

struct ServiceRun {
    TempDir dir;
    PlayerProcess player{dir.path()};
    NotifySocket notify{dir.file(QStringLiteral("notify"))};

    explicit ServiceRun(const QString& ini) {
        player.writeIni(ini);
        player.setEnv(QStringLiteral("NOTIFY_SOCKET"), dir.file(QStringLiteral("notify")));
        player.setEnv(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("1000000"));
    }
};

// Ready once the device is open, then a watchdog notification four times a
// second for the 1 s interval; a hung UI thread sends nothing while the rest
// of the player runs, a resumed one pings again, and SIGTERM is announced as
// stopping.
TEST(ServiceE2e, ReadyOnceOpenWatchdogWhileTickingStoppingOnTerm) {
    QVM_E2E_SKIP_UNDER_TSAN();
    StreamServer server;
    server.addMount("/a.mp3", Mount({Tone{440.0, 3600.0, 0.5}}));
    PlayerConfig config;
    config.urls = {QString::fromStdString(server.url("/a.mp3"))};
    ServiceRun run(PlayerIni(config));
    ASSERT_TRUE(run.player.start());

    const auto start = run.notify.until(QStringLiteral("READY=1"), 20s);
    ASSERT_EQ(Count(start, QStringLiteral("READY=1")), 1) << Dump(start) << "\n"
                                                          << run.player.output().toStdString();
    const std::vector<Notification> beforeReady(start.begin(), start.end() - 1);
    EXPECT_EQ(Count(beforeReady, QStringLiteral("WATCHDOG=1")), 0)
        << "pinged before it was ready: " << Dump(start);

    // Playing: the status names the channel on air, without credentials.
    const auto playing = run.notify.collect(3s);
    const int pings = Count(playing, QStringLiteral("WATCHDOG=1"));
    EXPECT_GE(pings, 8) << Dump(playing);
    EXPECT_LE(pings, 16) << Dump(playing);
    QStringList status =
        Starting(start, QStringLiteral("STATUS=")) + Starting(playing, QStringLiteral("STATUS="));
    EXPECT_TRUE(status.contains(QStringLiteral("STATUS=On air: channel 1 (%1)")
                                    .arg(QString::fromStdString(server.url("/a.mp3")))))
        << status.join(QLatin1Char('|')).toStdString();

    // The UI thread alone hangs (held by ptrace; the mixer and the network
    // threads run on): no notification at all for longer than the watchdog
    // interval, so the service manager would restart it.
    const pid_t mainThread = static_cast<pid_t>(run.player.pid());
    ASSERT_EQ(::ptrace(PTRACE_SEIZE, mainThread, nullptr, nullptr), 0) << std::strerror(errno);
    ASSERT_EQ(::ptrace(PTRACE_INTERRUPT, mainThread, nullptr, nullptr), 0);
    int stopStatus = 0;
    ASSERT_EQ(::waitpid(mainThread, &stopStatus, __WALL), mainThread);
    run.notify.collect(200ms);  // what was on its way
    const auto hung = run.notify.collect(2s);
    ASSERT_EQ(::ptrace(PTRACE_DETACH, mainThread, nullptr, nullptr), 0);
    EXPECT_TRUE(hung.empty()) << Dump(hung);
    const auto resumed = run.notify.collect(1500ms);
    EXPECT_GE(Count(resumed, QStringLiteral("WATCHDOG=1")), 3) << Dump(resumed);

    // The whole process stopped, as SIGSTOP does: silent as well.
    ASSERT_EQ(::kill(mainThread, SIGSTOP), 0);
    run.notify.collect(200ms);
    const auto stopped = run.notify.collect(1500ms);
    EXPECT_TRUE(stopped.empty()) << Dump(stopped);
    ASSERT_EQ(::kill(mainThread, SIGCONT), 0);
    EXPECT_GE(Count(run.notify.collect(1500ms), QStringLiteral("WATCHDOG=1")), 3);

    ASSERT_TRUE(run.player.terminate(15s));
    const auto last = run.notify.collect(300ms);
    EXPECT_EQ(Count(last, QStringLiteral("STOPPING=1")), 1) << Dump(last);
    // The journal gets the event log's lines on standard error.
    EXPECT_TRUE(run.player.output().contains(QStringLiteral("Started on Null output at 48000 Hz")))
        << run.player.output().toStdString();
}

// A missing sound device: the start-up is not finished, so no readiness and
// no watchdog; the start time-out is extended while the device wait ticks.
TEST(ServiceE2e, WaitingForTheDeviceExtendsTheStartInsteadOfBeingReady) {
    QVM_E2E_SKIP_UNDER_TSAN();
    PlayerConfig config;
    config.urls = {QStringLiteral("http://127.0.0.1:9/none.mp3")};
    QString ini = PlayerIni(config);
    ini.replace(QStringLiteral("Device=Null output"), QStringLiteral("Device=No such card"));
    ServiceRun run(ini);
    ASSERT_TRUE(run.player.start());
    const auto notes = run.notify.collect(3s);
    EXPECT_EQ(Count(notes, QStringLiteral("READY=1")), 0) << Dump(notes);
    EXPECT_EQ(Count(notes, QStringLiteral("WATCHDOG=1")), 0) << Dump(notes);
    EXPECT_GE(Starting(notes, QStringLiteral("EXTEND_TIMEOUT_USEC=")).size(), 2) << Dump(notes);
    EXPECT_TRUE(Starting(notes, QStringLiteral("STATUS="))
                    .contains(QStringLiteral("STATUS=Waiting for the sound device")))
        << Dump(notes);
    ASSERT_TRUE(run.player.terminate(15s));
}

}  // namespace
}  // namespace qvm::test
