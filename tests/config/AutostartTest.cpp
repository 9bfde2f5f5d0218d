#include "config/Autostart.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <QDir>
#include <QFileInfo>

#include "support/TempDir.h"

namespace qvm {
namespace {

const QString kExe = QStringLiteral("/opt/QV Mirelta/QVMirelta");

QByteArray Entry(const QByteArray& exec, const QByteArray& extra = {}) {
    return "[Desktop Entry]\nType=Application\nName=Something\nExec=" + exec + "\n" + extra;
}

class Autostart : public ::testing::Test {
  protected:
    QString user() const { return m_dir.file(QStringLiteral("user/autostart")); }
    AutostartPlaces places() const { return {user(), m_dir.file(QStringLiteral("machine"))}; }
    void writeUser(const QString& name, const QByteArray& text) const {
        m_dir.write(QStringLiteral("user/autostart/") + name, text);
    }
    void writeMachine(const QString& name, const QByteArray& text) const {
        m_dir.write(QStringLiteral("machine/") + name, text);
    }
    QStringList userFiles() const {
        return QDir(user()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name);
    }
    bool on() const { return IsAutostartOn(kExe, places()); }
    ConfigResult set(bool enable) const { return SetAutostart(kExe, enable, places()); }

    test::TempDir m_dir;
};

TEST_F(Autostart, OnWritesOneEntryAndOffRemovesIt) {
    EXPECT_FALSE(on());
    ASSERT_TRUE(set(true)) << "the missing user folder is created";
    EXPECT_EQ(userFiles(), QStringList{QStringLiteral("QVMirelta.desktop")});
    EXPECT_EQ(m_dir.read(QStringLiteral("user/autostart/QVMirelta.desktop")),
              "[Desktop Entry]\nType=Application\nName=QV Mirelta\n"
              "Exec=\"/opt/QV Mirelta/QVMirelta\"\nX-GNOME-Autostart-enabled=true\n");
    EXPECT_TRUE(on());

    ASSERT_TRUE(set(true));
    EXPECT_EQ(userFiles().size(), 1) << "an existing entry is kept, not doubled";

    ASSERT_TRUE(set(false));
    EXPECT_TRUE(userFiles().isEmpty());
    EXPECT_FALSE(on());
    EXPECT_TRUE(set(false)) << "nothing to remove is no error";
}

TEST_F(Autostart, MatchesThePathWithoutRegardToCase) {
    writeUser(QStringLiteral("mine.desktop"), Entry("\"/OPT/qv mirelta/qvmirelta\" --x"));
    EXPECT_TRUE(on());
    ASSERT_TRUE(set(true));
    EXPECT_EQ(userFiles(), QStringList{QStringLiteral("mine.desktop")});
}

TEST_F(Autostart, MachineWideEntryIsOnlyRead) {
    writeMachine(QStringLiteral("site.desktop"), Entry("\"/opt/QV Mirelta/QVMirelta\""));
    EXPECT_TRUE(on());
    ASSERT_TRUE(set(false));
    EXPECT_TRUE(on()) << "the machine-wide entry stays in force";
    EXPECT_TRUE(QFileInfo::exists(m_dir.file(QStringLiteral("machine/site.desktop"))));
}

TEST_F(Autostart, OffRemovesEveryMatchingEntryWhateverItsName) {
    writeUser(QStringLiteral("a.desktop"), Entry("\"/opt/QV Mirelta/QVMirelta\""));
    writeUser(QStringLiteral("old copy.desktop"), Entry("\"/OPT/QV MIRELTA/qvmirelta\" -m"));
    writeUser(QStringLiteral("QVMirelta.desktop"), Entry("/usr/bin/other"));
    writeUser(QStringLiteral("z.desktop"), Entry("\"/opt/QV Mirelta/QVMirelta2\""));
    ASSERT_TRUE(set(false));
    EXPECT_EQ(userFiles(),
              QStringList({QStringLiteral("QVMirelta.desktop"), QStringLiteral("z.desktop")}));
}

TEST_F(Autostart, OnTakesTheFirstFreeName) {
    writeUser(QStringLiteral("QVMirelta.desktop"), Entry("/usr/bin/first"));
    writeUser(QStringLiteral("QVMirelta1.desktop"), Entry("/usr/bin/second"));
    ASSERT_TRUE(set(true));
    EXPECT_TRUE(QFileInfo::exists(user() + QStringLiteral("/QVMirelta2.desktop")));
    EXPECT_EQ(m_dir.read(QStringLiteral("user/autostart/QVMirelta.desktop")),
              Entry("/usr/bin/first"));
    EXPECT_TRUE(on());

    // A user file would hide a machine-wide entry of the same name, so the
    // name must be free there too.
    test::TempDir other;
    const AutostartPlaces both{other.file(QStringLiteral("user")),
                               other.file(QStringLiteral("machine"))};
    other.write(QStringLiteral("machine/QVMirelta.desktop"), Entry("/usr/bin/site-wide"));
    ASSERT_TRUE(SetAutostart(kExe, true, both));
    EXPECT_EQ(QDir(both.userFolder).entryList(QDir::Files),
              QStringList{QStringLiteral("QVMirelta1.desktop")});
}

TEST_F(Autostart, SkipsFilesThatAreNoEntries) {
    QByteArray binary = Entry("\"/opt/QV Mirelta/QVMirelta\"");
    binary.insert(10, QByteArray("\0\x01\xff", 3));
    writeUser(QStringLiteral("binary.desktop"), binary);
    writeUser(QStringLiteral("latin1.desktop"),
              Entry("\"/opt/QV Mirelta/QVMirelta\"", "Comment=\xe9\n"));
    writeUser(QStringLiteral("noexec.desktop"), "[Desktop Entry]\nName=QVMirelta\n");
    writeUser(QStringLiteral("quote.desktop"), Entry("\"/opt/QV Mirelta/QVMirelta"));
    writeUser(QStringLiteral("huge.desktop"),
              Entry("\"/opt/QV Mirelta/QVMirelta\"", QByteArray(200 * 1024, '#')));
    ASSERT_TRUE(QDir(user()).mkdir(QStringLiteral("folder.desktop")));
    ASSERT_EQ(mkfifo(QFile::encodeName(user() + QStringLiteral("/fifo.desktop")).constData(), 0600),
              0);
    const QStringList before = userFiles();

    EXPECT_FALSE(on());
    ASSERT_TRUE(set(false));
    EXPECT_EQ(userFiles(), before);
    ASSERT_TRUE(set(true));
    EXPECT_TRUE(on());
    ASSERT_TRUE(set(false));
    EXPECT_EQ(userFiles(), before);
}

TEST_F(Autostart, EntriesTheDesktopSkipsDoNotCount) {
    writeUser(QStringLiteral("hidden.desktop"),
              Entry("\"/opt/QV Mirelta/QVMirelta\"", "Hidden=true\n"));
    writeUser(QStringLiteral("disabled.desktop"),
              Entry("\"/opt/QV Mirelta/QVMirelta\"", "X-GNOME-Autostart-enabled=false\n"));
    // A user file hides the machine-wide file of the same name.
    writeMachine(QStringLiteral("hidden.desktop"), Entry("\"/opt/QV Mirelta/QVMirelta\""));
    EXPECT_FALSE(on());

    ASSERT_TRUE(set(true)) << "a skipped entry is no entry: a working one is added";
    EXPECT_TRUE(on());
    ASSERT_TRUE(set(false));
    EXPECT_FALSE(on());
    EXPECT_EQ(userFiles(),
              QStringList({QStringLiteral("disabled.desktop"), QStringLiteral("hidden.desktop")}))
        << "the user's own overrides stay";
}

TEST_F(Autostart, ErrorsAreValues) {
    m_dir.write(QStringLiteral("user/autostart"), "a file where the folder belongs");
    EXPECT_FALSE(on());
    const ConfigResult result = set(true);
    EXPECT_FALSE(result);
    EXPECT_EQ(result.error, QStringLiteral("Unable to write to ") + user());
}

TEST(AutostartPlaces, FollowTheBaseDirectoryRules) {
    const bool wasSet = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
    const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", "/srv/cfg");
    EXPECT_EQ(AutostartPlaces::standard().userFolder, QStringLiteral("/srv/cfg/autostart"));
    qputenv("XDG_CONFIG_HOME", "relative/cfg");
    EXPECT_EQ(AutostartPlaces::standard().userFolder,
              QDir::homePath() + QStringLiteral("/.config/autostart"));
    EXPECT_EQ(AutostartPlaces::standard().machineFolder, QStringLiteral("/etc/xdg/autostart"));
    if (wasSet) {
        qputenv("XDG_CONFIG_HOME", saved);
    } else {
        qunsetenv("XDG_CONFIG_HOME");
    }
}

TEST(ExecProgram, UndoesEscapesAndQuoting) {
    struct Case {
        const char* exec;
        QString program;
    };
    const Case cases[] = {
        {"/usr/bin/player --start", QStringLiteral("/usr/bin/player")},
        {"\"/opt/a b/player\" %U", QStringLiteral("/opt/a b/player")},
        {"  /usr/bin/x", QStringLiteral("/usr/bin/x")},
        {"/opt/a\\sb/x", QStringLiteral("/opt/a")},  // \s is a blank before the split
        {"\"/opt/\\\\$HOME\\\\\\\\x\"", QStringLiteral("/opt/$HOME\\x")},
        {"\"/opt/100%%\"", QStringLiteral("/opt/100%")},
        {"\"/opt/unterminated", QString()},
        {"", QString()},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ExecProgram(c.exec), c.program) << c.exec;
    }
}

TEST(ExecProgram, ReadsBackEveryPathItWrites) {
    for (const QString& path :
         {QStringLiteral("/opt/QV Mirelta/QVMirelta"), QStringLiteral("/opt/\"q\"/`x`/$y/a\\b"),
          QStringLiteral("/opt/100% sure/x"), QStringLiteral("/opt/line\nbreak\ttab\rcr/x"),
          QStringLiteral("/opt/\u00c4\u20ac/\u6d41"), QStringLiteral(" /lead and trail ")}) {
        const QByteArray exec = ExecValueFor(path);
        EXPECT_FALSE(exec.contains('\n'));
        EXPECT_EQ(ExecProgram(exec), path) << exec.constData();
    }
}

}  // namespace
}  // namespace qvm
