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

TEST(SingleInstance, FindsAnotherProcessStartedFromTheSamePath) {
    test::TempDir dir;
    const QString copy = dir.file(QStringLiteral("QVMirelta"));
    ASSERT_TRUE(QFile::copy(QStringLiteral("/bin/sleep"), copy));
    QFile::setPermissions(copy, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

    EXPECT_FALSE(FindOtherInstance(copy).has_value()) << "nothing runs from there yet";
    QProcess other;
    other.start(copy, {QStringLiteral("30")});
    ASSERT_TRUE(other.waitForStarted());

    const auto found = FindOtherInstance(copy);
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(*found, other.processId());
    EXPECT_EQ(FindOtherInstance(AsciiUpper(copy)), found) << "paths compare without regard to case";
    EXPECT_FALSE(FindOtherInstance(dir.file(QStringLiteral("Other"))).has_value());
    // Other copies of this test binary may run at the same time; only the caller
    // itself must never be reported.
    EXPECT_NE(FindOtherInstance(ExecutablePath()), std::optional<pid_t>(getpid()))
        << "the caller itself never counts";
    other.kill();
    other.waitForFinished();
    EXPECT_FALSE(FindOtherInstance(copy).has_value());
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
