#include "core/IniFile.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <QDir>
#include <QFileInfo>

#include "support/TempDir.h"

namespace qvm {
namespace {

TEST(IniDocument, RewritesUntouchedTextByteForByte) {
    const QByteArray texts[] = {
        "; comment\n\n[A]\nkey = value \n  odd line without equals\n=no key\n[B]\nx=1\n",
        QByteArrayLiteral("[Unclosed\n\xff\xfe\x00\x01 binary\n\n\n\n[A]\nk=v\n"),
        "\xEF\xBB\xBF[A]\nk=v\n",
        "",
    };
    for (const QByteArray& text : texts) {
        EXPECT_EQ(IniDocument::parse(text).serialize(), text) << text.toStdString();
    }
    EXPECT_EQ(IniDocument::parse("[A]\r\nk=v\r\nlast").serialize(), "[A]\nk=v\nlast\n")
        << "line ends become LF and the last line gets one";
    const QByteArray doubled = IniDocument::parse("[A]\r\r\nk=v\r\r\r\n").serialize();
    EXPECT_EQ(doubled, "[A]\nk=v\n");
    EXPECT_EQ(IniDocument::parse(doubled).serialize(), doubled) << "a rewrite is stable";
}

TEST(IniDocument, ReadsTheFirstOccurrenceWithoutRegardToCase) {
    const IniDocument doc = IniDocument::parse(
        "\xEF\xBB\xBF[Setting]\n  Volume = 50 \nvolume=60\n[Other]\nWait=1\n[SETTING]\nWait=2\n");
    EXPECT_EQ(doc.value("setting", "VOLUME"), QByteArray("50"));
    EXPECT_EQ(doc.value("Setting", "Wait"), std::nullopt) << "only the first section of a name";
    EXPECT_EQ(doc.value("Missing", "Wait"), std::nullopt);
    EXPECT_TRUE(doc.hasSection("other"));
    const auto entries = doc.entries("Setting");
    ASSERT_EQ(entries.size(), 2);
    EXPECT_EQ(entries[1].first, QByteArray("volume"));
    EXPECT_EQ(entries[1].second, QByteArray("60"));
}

TEST(IniDocument, WritesKeysWhereTheyBelong) {
    IniDocument doc =
        IniDocument::parse("[A]\nOne=1\n; note\nTwo=2\n\n; about B\n[B]\nx=1\n[A]\nThree=3\n");
    doc.setValue("a", "two", "22");  // in place, spelling kept
    doc.setValue("A", "New", "n");   // after the first A's last key
    doc.setValue("C", "Key", "line\nbreak");
    doc.deleteKey("A", "ONE");
    EXPECT_EQ(doc.serialize(),
              "[A]\n; note\nTwo=22\nNew=n\n\n; about B\n[B]\nx=1\n[A]\nThree=3\n"
              "[C]\nKey=line break\n");

    doc.eraseSection("a");
    EXPECT_EQ(doc.serialize(), "[B]\nx=1\n[C]\nKey=line break\n");
    doc.eraseSection("Missing");
    doc.deleteKey("Missing", "x");
    EXPECT_EQ(doc.serialize(), "[B]\nx=1\n[C]\nKey=line break\n");
}

TEST(IniDocument, EraseSectionRemovesInterleavedSections) {
    QByteArray text;
    for (int i = 0; i < 1000; ++i) {
        text += "[Keep]\nk=" + QByteArray::number(i) + "\n[Drop]\nd=1\n; drop\n";
    }
    IniDocument doc = IniDocument::parse(text);
    doc.eraseSection("drop");
    const QByteArray out = doc.serialize();
    EXPECT_FALSE(out.contains("Drop"));
    EXPECT_EQ(out.count("[Keep]\n"), 1000);
    EXPECT_TRUE(out.endsWith("[Keep]\nk=999\n"));
}

TEST(IniDocument, LoadRefusesWhatIsNoSettingsFile) {
    test::TempDir dir;
    dir.write(QStringLiteral("ok.ini"), "[A]\nk=v\n");
    EXPECT_EQ(IniDocument::load(dir.file(QStringLiteral("ok.ini"))).value("A", "k"), "v");

    dir.write(QStringLiteral("big.ini"),
              "[A]\nk=v\n" + QByteArray(IniDocument::kMaxFileSize, '\n'));
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("folder.ini")));
    const QString fifo = dir.file(QStringLiteral("fifo.ini"));
    ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    IniDocument::LoadState state = IniDocument::LoadState::Missing;
    EXPECT_EQ(IniDocument::load(dir.file(QStringLiteral("ok.ini")), &state).value("A", "k"), "v");
    EXPECT_EQ(state, IniDocument::LoadState::Read);
    for (const char* name : {"missing.ini", "big.ini", "folder.ini", "fifo.ini"}) {
        EXPECT_EQ(IniDocument::load(dir.file(QString::fromLatin1(name)), &state).serialize(),
                  QByteArray())
            << name;
        // Only a file that is not there may be created by a save.
        EXPECT_EQ(state, std::string_view(name) == "missing.ini"
                             ? IniDocument::LoadState::Missing
                             : IniDocument::LoadState::Unreadable)
            << name;
    }
}

TEST(IniDocument, SavesAtomically) {
    test::TempDir dir;
    const QString path = dir.file(QStringLiteral("a.ini"));
    IniDocument doc;
    doc.setValue("A", "k", "v");
    ASSERT_TRUE(doc.saveAtomically(path));
    EXPECT_EQ(dir.read(QStringLiteral("a.ini")), "[A]\nk=v\n");

    EXPECT_FALSE(doc.saveAtomically(dir.file(QStringLiteral("missing/a.ini"))));
    ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("folder.ini")));
    EXPECT_FALSE(doc.saveAtomically(dir.file(QStringLiteral("folder.ini"))));
    EXPECT_TRUE(QFileInfo(dir.file(QStringLiteral("folder.ini"))).isDir());
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("a.ini")});
}

}  // namespace
}  // namespace qvm
