#include "core/SingleInstance.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>
#include <future>

#include "core/Helpers.h"
#include "support/TempDir.h"

namespace qvm {
namespace {

// The lock is taken once per installation path, tells a second taker who
// holds it, and is free again when its holder lets go.
TEST(SingleInstance, OneLockPerInstallation) {
    test::TempDir dir;
    const QString exe = dir.file(QStringLiteral("QVMirelta"));
    std::unique_ptr<InstanceLock> first = InstanceLock::Acquire(exe, nullptr);
    ASSERT_TRUE(first);
    EXPECT_TRUE(first->held());
    EXPECT_EQ(first->path(), exe + QStringLiteral(".lock"));
    EXPECT_EQ(InstanceLock::Holder(exe), getpid());

    pid_t holder = -1;
    EXPECT_FALSE(InstanceLock::Acquire(exe, &holder)) << "the same installation";
    EXPECT_EQ(holder, getpid());
    const std::unique_ptr<InstanceLock> other =
        InstanceLock::Acquire(dir.file(QStringLiteral("QVMirelta2")), nullptr);
    EXPECT_TRUE(other) << "another installation";

    first.reset();
    EXPECT_TRUE(InstanceLock::Acquire(exe, nullptr)) << "released with its holder";
}

// An installation folder that cannot take the lock file keeps its lock in the
// user's link folder, still one per path.
TEST(SingleInstance, LockMovesToTheLinkFolderWhenTheInstallationCannotTakeIt) {
    const QString exe = QStringLiteral("/nonexistent-qvm-folder/QVMirelta");
    const std::unique_ptr<InstanceLock> lock = InstanceLock::Acquire(exe, nullptr);
    ASSERT_TRUE(lock);
    EXPECT_TRUE(lock->held());
    EXPECT_TRUE(lock->path().startsWith(LinkFolder())) << lock->path().toStdString();
    EXPECT_FALSE(InstanceLock::Acquire(AsciiUpper(exe), nullptr))
        << "paths compare without regard to case there";
    EXPECT_EQ(InstanceLock::Holder(exe), getpid());
}

TEST(SingleInstance, ASecondCopyAsksTheFirstToRestore) {
    InstanceEndpoint endpoint;
    ASSERT_TRUE(endpoint.listening());
    QSignalSpy restored(&endpoint, &InstanceEndpoint::restoreRequested);
    // The asking side blocks, as a starting copy does; it runs on another thread
    // so that this event loop can answer.
    auto asked =
        std::async(std::launch::async, [] { return InstanceEndpoint::AskToRestore(getpid()); });
    ASSERT_TRUE(restored.wait(5000));
    EXPECT_TRUE(asked.get());
    EXPECT_FALSE(InstanceEndpoint::AskToRestore(999999, 200)) << "no such copy";
}

}  // namespace
}  // namespace qvm
