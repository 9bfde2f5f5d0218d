#include "core/EventLog.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>

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

}  // namespace
}  // namespace qvm
