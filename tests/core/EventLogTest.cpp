#include "core/EventLog.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFileInfo>
#include <chrono>
#include <cstdlib>
#include <future>

#include "support/TempDir.h"

namespace qvm {
namespace {

struct LogAt {
    test::TempDir dir;
    QDateTime when{QDate(2024, 3, 9), QTime(14, 3, 27)};
    EventLog log{dir.path(), [this] { return when; }};
};

TEST(EventLog, DisabledCreatesNothing) {
    LogAt t;
    t.log.Log(QStringLiteral("Ch 1: something"));
    EXPECT_FALSE(QFileInfo::exists(t.dir.file(QStringLiteral("Log"))));
}

TEST(EventLog, WritesLinesInOrderIntoTheDayFile) {
    LogAt t;
    t.log.setEnabled(true);
    t.log.Log(QStringLiteral("Ch 2: Code 40. Connection timed out"));
    t.when = t.when.addSecs(1);
    t.log.Log(QStringLiteral("Ch 1: \u00c4rger"));
    EXPECT_EQ(
        t.dir.read(QStringLiteral("Log/2024/03/09.log")),
        QByteArray("14:03:27 Ch 2: Code 40. Connection timed out\n14:03:28 Ch 1: \xc3\x84rger\n"));
}

TEST(EventLog, AfterMidnightStartsTheNextDaysFileAndFolders) {
    LogAt t;
    t.log.setEnabled(true);
    t.when = QDateTime(QDate(2024, 12, 31), QTime(23, 59, 59));
    t.log.Log(QStringLiteral("last"));
    t.when = QDateTime(QDate(2025, 1, 1), QTime(0, 0, 1));
    t.log.Log(QStringLiteral("first"));
    EXPECT_EQ(t.dir.read(QStringLiteral("Log/2024/12/31.log")), QByteArray("23:59:59 last\n"));
    EXPECT_EQ(t.dir.read(QStringLiteral("Log/2025/01/01.log")), QByteArray("00:00:01 first\n"));
}

TEST(EventLog, DropsTheLineWhenTheFolderCannotBeMade) {
    LogAt t;
    t.log.setEnabled(true);
    t.dir.write(QStringLiteral("Log"), "a file in the way");
    t.log.Log(QStringLiteral("lost"));
    EXPECT_EQ(t.dir.read(QStringLiteral("Log")), QByteArray("a file in the way"));
    // The day file itself being a folder: dropped too.
    LogAt u;
    u.log.setEnabled(true);
    QDir().mkpath(u.dir.file(QStringLiteral("Log/2024/03/09.log")));
    u.log.Log(QStringLiteral("lost"));
    EXPECT_TRUE(QFileInfo(u.dir.file(QStringLiteral("Log/2024/03/09.log"))).isDir());
}

// Standard error swapped for one end of a stream socket pair, as systemd
// hands a service the journal; the test holds the other end.
class StderrSocket {
  public:
    StderrSocket() {
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, m_pair);
        m_saved = ::dup(STDERR_FILENO);
        ::dup2(m_pair[0], STDERR_FILENO);
        struct stat st {};
        ::fstat(STDERR_FILENO, &st);
        m_journal = std::to_string(st.st_dev) + ':' + std::to_string(st.st_ino);
    }
    ~StderrSocket() {
        restore();
        ::close(m_pair[0]);
        ::close(m_pair[1]);
    }
    void restore() {
        if (m_saved >= 0) {
            ::dup2(m_saved, STDERR_FILENO);
            ::close(m_saved);
            m_saved = -1;
        }
    }
    // JOURNAL_STREAM as systemd sets it for this socket.
    const std::string& journal() const { return m_journal; }
    QByteArray read() {
        char buf[4096];
        const ssize_t n = ::recv(m_pair[1], buf, sizeof(buf), MSG_DONTWAIT);
        return n > 0 ? QByteArray(buf, static_cast<int>(n)) : QByteArray();
    }
    // The test's end stops reading: the socket fills.
    int peer() const { return m_pair[1]; }

  private:
    int m_pair[2] = {-1, -1};
    int m_saved = -1;
    std::string m_journal;
};

// The echo goes to standard error with the log files off; the journal gets
// the text alone (it stamps lines itself), anything else the stamped line.
// A journal that has stopped reading loses lines but never stops the caller.
TEST(EventLog, EchoesToStderrAndNeverWaitsForAStuckJournal) {
    LogAt t;
    StderrSocket err;
    t.log.setEcho(true);
    t.log.Log(QStringLiteral("Ch 1: plain"));
    EXPECT_EQ(err.read(), QByteArray("14:03:27 Ch 1: plain\n"));
    EXPECT_FALSE(QFileInfo::exists(t.dir.file(QStringLiteral("Log"))));

    ::setenv("JOURNAL_STREAM", err.journal().c_str(), 1);
    t.log.setEcho(true);
    ::unsetenv("JOURNAL_STREAM");
    t.log.Log(QStringLiteral("Ch 1: journal"));
    EXPECT_EQ(err.read(), QByteArray("Ch 1: journal\n"));

    // Nobody reads: far more than the socket buffer holds.
    int small = 4096;
    ::setsockopt(err.peer(), SOL_SOCKET, SO_RCVBUF, &small, sizeof(small));
    auto done = std::async(std::launch::async, [&t] {
        for (int i = 0; i < 20000; ++i) {
            t.log.Log(QStringLiteral("Ch 1: line %1 of a journal that does not read").arg(i));
        }
    });
    const bool returned = done.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
    err.restore();
    EXPECT_TRUE(returned) << "the log waited for standard error";
    if (!returned) {
        ::shutdown(err.peer(), SHUT_RDWR);  // lets the blocked writer go
    }
}

}  // namespace
}  // namespace qvm
