#include "core/Helpers.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>

#include "support/TempDir.h"

namespace qvm {
namespace {

TEST(AddTrailingBackslash, AppendsTheSeparatorOnce) {
    EXPECT_EQ(AddTrailingBackslash(QStringLiteral("/opt/qvm")), QStringLiteral("/opt/qvm/"));
    EXPECT_EQ(AddTrailingBackslash(QStringLiteral("/opt/qvm/")), QStringLiteral("/opt/qvm/"));
    EXPECT_EQ(AddTrailingBackslash(QString()), QString());
}

TEST(ForceFolders, CreatesEveryMissingFolder) {
    test::TempDir dir;
    const QString deep = dir.file(QStringLiteral("Log/2024/03"));
    EXPECT_TRUE(ForceFolders(deep));
    EXPECT_TRUE(QFileInfo(deep).isDir());
    EXPECT_TRUE(ForceFolders(deep)) << "an existing folder is fine";
    EXPECT_TRUE(ForceFolders(deep + QStringLiteral("/")));
}

TEST(ForceFolders, StopsAtAFolderItCannotCreate) {
    test::TempDir dir;
    dir.write(QStringLiteral("blocker"), "a file where a folder should be");
    const QString path = dir.file(QStringLiteral("a/blocker/b/c"));
    const QString blocked = dir.file(QStringLiteral("blocker/b/c"));
    EXPECT_FALSE(ForceFolders(blocked));
    EXPECT_FALSE(QFileInfo::exists(dir.file(QStringLiteral("blocker/b"))));
    EXPECT_TRUE(ForceFolders(path));
}

TEST(FreeRecordList, EmptiesAndOptionallyDropsTheList) {
    auto list = std::make_unique<std::vector<std::unique_ptr<int>>>();
    list->push_back(std::make_unique<int>(1));
    list->push_back(std::make_unique<int>(2));
    FreeRecordList(list, false);
    ASSERT_TRUE(list);
    EXPECT_TRUE(list->empty());
    list->push_back(std::make_unique<int>(3));
    EXPECT_EQ(list->size(), 1u);
    FreeRecordList(list, true);
    EXPECT_FALSE(list);
    FreeRecordList(list, true);  // no list: nothing happens
}

TEST(Power10, TurnsDecibelsIntoFactors) {
    EXPECT_NEAR(Power10(2.0), 100.0, 1e-9);
    EXPECT_NEAR(Power10(-1.0), 0.1, 1e-12);
    EXPECT_DOUBLE_EQ(Power10(0.0), 1.0);
}

TEST(CutUtf8, NeverSplitsACharacter) {
    const QString text = QStringLiteral("a\u00e4\u20ac");  // 1 + 2 + 3 bytes
    EXPECT_EQ(CutUtf8(text, 6), text);
    EXPECT_EQ(CutUtf8(text, 5), QStringLiteral("a\u00e4"));
    EXPECT_EQ(CutUtf8(text, 3), QStringLiteral("a\u00e4"));
    EXPECT_EQ(CutUtf8(text, 2), QStringLiteral("a"));
    EXPECT_EQ(CutUtf8(text, 0), QString());
}

TEST(CompareText, IgnoresAsciiCaseOnly) {
    EXPECT_EQ(CompareText(QStringLiteral("Deutsch.lng"), QStringLiteral("deutsch.LNG")), 0);
    EXPECT_LT(CompareText(QStringLiteral("abc"), QStringLiteral("ABD")), 0);
    EXPECT_GT(CompareText(QStringLiteral("abcd"), QStringLiteral("ABC")), 0);
    EXPECT_EQ(AsciiUpper(QStringLiteral("a\u00e4z")), QStringLiteral("A\u00e4Z"));
}

TEST(ExecutableFolder, EndsInASeparator) {
    const QString folder = ExecutableFolder();
    EXPECT_TRUE(folder.endsWith(QLatin1Char('/')));
    EXPECT_TRUE(QFileInfo(folder).isDir());
    EXPECT_TRUE(ExecutablePath().startsWith(folder));
}

}  // namespace
}  // namespace qvm
