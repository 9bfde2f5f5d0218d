#include "config/SettingsFile.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <QDir>
#include <QFileInfo>
#include <csignal>
#include <functional>

#include "support/TempDir.h"

namespace qvm {
namespace {

const QString kIni = QStringLiteral("QVMirelta.ini");

std::shared_ptr<ChannelSettings> Channel(const QString& url, bool always = false, qint16 amp = 0,
                                         qint32 restart = 0) {
    return std::make_shared<ChannelSettings>(ChannelSettings{always, amp, restart, url});
}

Configuration DefaultsFor(const test::TempDir& dir) {
    Configuration config;
    config.pluginPath = dir.path();
    return config;
}

// Loads `ini` written as the settings file of a player in `dir`.
Configuration LoadText(const test::TempDir& dir, const QByteArray& ini) {
    dir.write(kIni, ini);
    Configuration config;
    LoadSettings(config, dir.file(kIni), dir.path());
    return config;
}

Configuration SaveAndLoad(const test::TempDir& dir, Configuration& config) {
    const ConfigResult result = SaveSettings(config, dir.file(kIni));
    EXPECT_TRUE(result) << result.error.toStdString();
    Configuration back;
    LoadSettings(back, dir.file(kIni), dir.path());
    return back;
}

TEST(SettingsFilePath, ReplacesOrAddsTheExtension) {
    EXPECT_EQ(SettingsFilePath(QStringLiteral("/opt/qvm/QVMirelta")),
              QStringLiteral("/opt/qvm/QVMirelta.ini"));
    EXPECT_EQ(SettingsFilePath(QStringLiteral("/opt/q.v/QVMirelta.bin")),
              QStringLiteral("/opt/q.v/QVMirelta.ini"));
}

TEST(LoadSettings, WithoutAFileGivesDefaultsAndCreatesNothing) {
    test::TempDir dir;
    Configuration config;
    config.settings.Volume = 7;
    config.channels.append(Channel(QStringLiteral("http://stale")));
    config.pluginFiles.append(QStringLiteral("dsp_stale.so"));
    LoadSettings(config, dir.file(kIni), dir.path());

    EXPECT_EQ(config, DefaultsFor(dir));
    EXPECT_TRUE(config.pluginPath.endsWith(QLatin1Char('/')));
    EXPECT_FALSE(QFileInfo::exists(dir.file(kIni)));
    EXPECT_TRUE(QDir(dir.path()).isEmpty());
}

TEST(SaveSettings, FreshFileHoldsEveryKeyInOrder) {
    test::TempDir dir;
    Configuration config;
    config.pluginPath = QStringLiteral("/opt/qvm/");
    config.channels = {Channel(QStringLiteral("http://one:8000/a"), true, -35),
                       Channel(QStringLiteral("http://two/b.m3u8"), false, 0, 737284)};
    config.pluginFiles = {QStringLiteral("dsp_a.so"), QStringLiteral("dsp_b.so")};
    ASSERT_TRUE(SaveSettings(config, dir.file(kIni)));

    // Every default of the table in its written form; no Restart1 for a
    // channel without a plan.
    EXPECT_EQ(dir.read(kIni),
              "[Setting]\nLanguage=English\nSourceMode=0\nPID=0\nHide=0\nLog=0\nDevice=\n"
              "Bitrate=0\nWait=10\nVolume=100\nBuffer=1\nSilenceLevel=-36\nSilenceTime=5\n"
              "RestoreTime=5\nBreakTime=10\nConnectTime=30\nFadeOut=0\nFadeIn=2\nChFadeOut=0\n"
              "ChFadeIn=2\nSwitchMode=0\nDelay=0\nRunOnChange=\nRunOnRestore=\nTimeOut=5\n"
              "RestoreMode=0\nSwitchBy=3\nHTTPPort=0\nHTTPUser=\nHTTPPass=\nHTTPRefresh=0\n"
              "HTTPAddress=\n[Channels]\nURL1=http://one:8000/a\nAlways1=1\nAmp1=-35\n"
              "URL2=http://two/b.m3u8\nAlways2=0\nAmp2=0\nRestart2=737284\n"
              "[Plugins]\nPath=/opt/qvm/\nFile1=dsp_a.so\nFile2=dsp_b.so\n");
}

TEST(SaveSettings, KeepsWhatItDoesNotOwnInPlace) {
    test::TempDir dir;
    dir.write(kIni,
              "; written by hand\n"
              "[Plugins]\nPath=/old/\nFile1=dsp_old.so\nStale=1\n"
              "[setting]\n"
              "Volume = 55\n"
              "Custom=keep me\n"
              "; about the device\n"
              "device=Old card\n"
              "\n"
              "[Channels]\nURL1=http://old\nRestart1=386\nExtra=gone\n"
              "[Studio]\nName=Main\n");
    Configuration config = LoadText(dir, dir.read(kIni));
    EXPECT_EQ(config.settings.Volume, 55);
    EXPECT_EQ(config.settings.Device, QStringLiteral("Old card"));
    config.settings.Volume = 80;
    config.settings.Device = QStringLiteral("Null output");
    config.channels = {Channel(QStringLiteral("http://new"))};
    config.pluginFiles.clear();
    ASSERT_TRUE(SaveSettings(config, dir.file(kIni)));

    // Rewritten keys keep their place and spelling, new ones follow the
    // section's last key, unknown keys and sections stay; Channels and
    // Plugins are rebuilt at the end without their unknown keys.
    EXPECT_EQ(dir.read(kIni),
              "; written by hand\n"
              "[setting]\n"
              "Volume=80\n"
              "Custom=keep me\n"
              "; about the device\n"
              "device=Null output\n"
              "Language=English\nSourceMode=0\nPID=0\nHide=0\nLog=0\nBitrate=0\nWait=10\n"
              "Buffer=1\nSilenceLevel=-36\nSilenceTime=5\nRestoreTime=5\nBreakTime=10\n"
              "ConnectTime=30\nFadeOut=0\nFadeIn=2\nChFadeOut=0\nChFadeIn=2\nSwitchMode=0\n"
              "Delay=0\nRunOnChange=\nRunOnRestore=\nTimeOut=5\nRestoreMode=0\nSwitchBy=3\n"
              "HTTPPort=0\nHTTPUser=\nHTTPPass=\nHTTPRefresh=0\nHTTPAddress=\n"
              "\n"
              "[Studio]\nName=Main\n"
              "[Channels]\nURL1=http://new\nAlways1=0\nAmp1=0\n"
              "[Plugins]\nPath=/old/\n");
}

TEST(LoadSettings, ReadsValuesByTheFileRules) {
    struct Case {
        const char* what;
        QByteArray ini;
        std::function<void(const Configuration&)> check;
    };
    const QByteArray longLine(500 * 1024, 'x');
    const Case cases[] = {
        {"a gap in the URLs ends the list", "[Channels]\nURL1=http://a\nURL3=http://c\n",
         [](const Configuration& c) {
             ASSERT_EQ(c.channels.size(), 1);
             EXPECT_EQ(c.channels[0]->URL, QStringLiteral("http://a"));
         }},
        {"an empty URL ends the list", "[Channels]\nURL1=http://a\nURL2=\nURL3=http://c\n",
         [](const Configuration& c) { EXPECT_EQ(c.channels.size(), 1); }},
        {"SwitchMode above 1", "[Setting]\nSwitchMode=5\n",
         [](const Configuration& c) { EXPECT_EQ(c.settings.SwitchMode, 1); }},
        {"SwitchMode below 0", "[Setting]\nSwitchMode=-2\n",
         [](const Configuration& c) { EXPECT_EQ(c.settings.SwitchMode, 0); }},
        {"RestoreMode needs SourceMode 2 exactly", "[Setting]\nSourceMode=3\nRestoreMode=1\n",
         [](const Configuration& c) { EXPECT_FALSE(c.settings.RestoreMode); }},
        {"RestoreMode with SourceMode 2", "[Setting]\nSourceMode=2\nRestoreMode=1\n",
         [](const Configuration& c) { EXPECT_TRUE(c.settings.RestoreMode); }},
        {"a decimal comma is unreadable", "[Setting]\nBuffer=1,5\nFadeIn=0.5\n",
         [](const Configuration& c) {
             EXPECT_EQ(c.settings.Buffer, 1.0);
             EXPECT_EQ(c.settings.FadeIn, 0.5);
         }},
        {"NaN and infinity are unreadable", "[Setting]\nTimeOut=nan\nFadeIn=inf\nBreakTime=1e999\n",
         [](const Configuration& c) {
             EXPECT_EQ(c.settings.TimeOut, 5.0);
             EXPECT_EQ(c.settings.FadeIn, 2.0);
             EXPECT_EQ(c.settings.BreakTime, 10.0);
         }},
        {"hexadecimal with 0x and $", "[Setting]\nHTTPPort=0x1F9A\nHTTPRefresh=$1F9A\n",
         [](const Configuration& c) {
             EXPECT_EQ(c.settings.HTTPPort, 8090);
             EXPECT_EQ(c.settings.HTTPRefresh, 8090);
         }},
        {"booleans are integers", "[Channels]\nURL1=a\nAlways1=yes\nURL2=b\nAlways2=2\n",
         [](const Configuration& c) {
             ASSERT_EQ(c.channels.size(), 2);
             EXPECT_FALSE(c.channels[0]->Always);
             EXPECT_TRUE(c.channels[1]->Always);
         }},
        {"numbers outside a field's width are clamped",
         "[Setting]\nPID=40000\nDelay=70000\nSilenceLevel=-99999\nSwitchBy=300\n"
         "[Channels]\nURL1=a\nAmp1=-40000\nURL2=b\nAmp2=99999\n",
         [](const Configuration& c) {
             EXPECT_EQ(c.settings.PID, 32767);
             EXPECT_EQ(c.settings.Delay, 65535);
             EXPECT_EQ(c.settings.SilenceLevel, -32768);
             EXPECT_EQ(c.settings.SwitchBy, 255);
             ASSERT_EQ(c.channels.size(), 2);
             EXPECT_EQ(c.channels[0]->Amp, -32768);
             EXPECT_EQ(c.channels[1]->Amp, 32767);
         }},
        {"negative numbers for unsigned fields", "[Setting]\nDelay=-5\nSwitchBy=-1\n",
         [](const Configuration& c) {
             EXPECT_EQ(c.settings.Delay, 0);
             EXPECT_EQ(c.settings.SwitchBy, 0);
         }},
        {"numbers beyond 32 bits give the default",
         "[Setting]\nPID=99999999999999999999\nVolume=99999999999999999999\n"
         "Hide=4294967296\nSilenceLevel=-0x80000001\n"
         "[Channels]\nURL1=a\nRestart1=99999999999999999999\n",
         [](const Configuration& c) {
             EXPECT_EQ(c.settings.PID, 0);
             EXPECT_EQ(c.settings.Volume, 100);
             EXPECT_FALSE(c.settings.Hide);
             EXPECT_EQ(c.settings.SilenceLevel, -36);
             ASSERT_EQ(c.channels.size(), 1);
             EXPECT_EQ(c.channels[0]->Restart, 0);
         }},
        {"names ignore case, the first occurrence counts",
         "[SETTING]\nvolume=50\nVolume=60\n[setting]\nWait=3\n",
         [](const Configuration& c) {
             EXPECT_EQ(c.settings.Volume, 50);
             EXPECT_EQ(c.settings.Wait, 10) << "only the first section of a name is read";
         }},
        {"texts are UTF-8 and an empty text is empty",
         "[Setting]\nLanguage=Deutsch\nDevice=Karte \xc3\xa4\xe2\x82\xac\nHTTPUser=\n"
         "[Plugins]\nPath=\nFile1=dsp_\xc3\xbc.so\nFile2=dsp_b.so\nFile4=dsp_d.so\n",
         [](const Configuration& c) {
             EXPECT_EQ(c.settings.Language, QStringLiteral("Deutsch"));
             EXPECT_EQ(c.settings.Device, QStringLiteral("Karte \u00e4\u20ac"));
             EXPECT_EQ(c.pluginPath, QString());
             EXPECT_EQ(c.pluginFiles,
                       QStringList({QStringLiteral("dsp_\u00fc.so"), QStringLiteral("dsp_b.so")}));
         }},
        {"a long garbage line does not hide the rest",
         "[Setting]\nVolume=50\n" + longLine + "\nWait=7\n",
         [](const Configuration& c) {
             EXPECT_EQ(c.settings.Volume, 50);
             EXPECT_EQ(c.settings.Wait, 7);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        test::TempDir dir;
        c.check(LoadText(dir, c.ini));
    }
}

TEST(SaveSettings, TextsWithByteOrderMarksReadBackAsLoaded) {
    test::TempDir dir;
    Configuration loaded = LoadText(dir,
                                    "\xEF\xBB\xBF[Channels]\nURL1= \xEF\xBB\xBF http://a \n"
                                    "[Plugins]\nFile1=\xEF\xBB\xBF\xEF\xBB\xBF dsp.so\n");
    ASSERT_EQ(loaded.channels.size(), 1);
    EXPECT_EQ(loaded.channels[0]->URL, QString(QChar(0xFEFF)) + " http://a");
    const Configuration before = loaded;
    EXPECT_EQ(SaveAndLoad(dir, loaded), before);
}

TEST(LoadSettings, GarbageFilesGiveDefaults) {
    QByteArray binary;
    for (int i = 0; i < 4096; ++i) {
        binary += static_cast<char>((i * 7919) & 0xFF);
    }
    const QByteArray cases[] = {
        binary,
        "[Setting]\nVolume=50\n" + QByteArray(10 * 1024 * 1024, 'x'),  // beyond the size cap
        "Volume=50\nWait=3\n",                                         // no section
        QByteArray(2 * 1024 * 1024, '\n'),
        "[Setting\nVolume=50\n",
    };
    for (const QByteArray& ini : cases) {
        test::TempDir dir;
        EXPECT_EQ(LoadText(dir, ini), DefaultsFor(dir)) << ini.left(40).toStdString();
    }

    // Neither a folder nor a fifo in place of the file may stall start-up.
    test::TempDir dir;
    ASSERT_TRUE(QDir(dir.path()).mkdir(kIni));
    Configuration config;
    LoadSettings(config, dir.file(kIni), dir.path());
    EXPECT_EQ(config, DefaultsFor(dir));
    const QString fifo = dir.file(QStringLiteral("fifo.ini"));
    ASSERT_EQ(mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    LoadSettings(config, fifo, dir.path());
    EXPECT_EQ(config, DefaultsFor(dir));
}

TEST(SaveSettings, EveryFieldRoundTrips) {
    test::TempDir dir;
    Configuration config;
    PlayerSettings& s = config.settings;
    s.SourceMode = 2;
    s.PID = 32767;
    s.Hide = true;
    s.Log = true;
    s.Device = QStringLiteral("Lautsprecher \u00c4\u00d6\u00dc \u266b");
    s.Delay = 65535;
    s.Bitrate = 2;
    s.Wait = 180;
    s.Volume = 35;
    s.Buffer = 0.3;
    s.RestoreMode = true;
    s.SilenceLevel = -42;
    s.SilenceTime = 7.5;
    s.RestoreTime = 12;
    s.BreakTime = 12.25;
    s.ConnectTime = 60;
    s.FadeOut = 0.1;
    s.FadeIn = 10;
    s.ChFadeOut = 2.5;
    s.ChFadeIn = 0;
    s.TimeOut = 65.5;
    s.SwitchMode = 1;
    s.SwitchBy = 2;
    s.Language = QStringLiteral("\u0420\u0443\u0441\u0441\u043a\u0438\u0439.lng");
    s.RunOnChange = QStringLiteral("/opt/run on change.sh");
    s.RunOnRestore = QStringLiteral("/opt/restore=1;x.sh");
    s.HTTPPort = 8090;
    s.HTTPRefresh = 600;
    s.HTTPUser = QStringLiteral("studio");
    s.HTTPPass = QStringLiteral("p=ss w\u00f6rd#;");
    // 300 bytes of two-byte characters after "http://": the cut must land on
    // a character boundary at or below 255 bytes.
    const QString longUrl = QStringLiteral("http://") + QString(150, QChar(0x00e9));
    config.channels = {Channel(longUrl, true, -200, 737671),
                       Channel(QStringLiteral("http://b/\u6d41.m3u8"), false, 200, 386)};
    config.pluginPath = QStringLiteral("/opt/plug ins/");
    config.pluginFiles = {QStringLiteral("dsp_\u00e4.so"), QStringLiteral("dsp b.so")};

    const Configuration back = SaveAndLoad(dir, config);
    EXPECT_EQ(back, config);
    const QByteArray url = back.channels[0]->URL.toUtf8();
    EXPECT_EQ(url.size(), 255) << "7 ASCII bytes and 124 whole two-byte characters";
    EXPECT_TRUE(longUrl.toUtf8().startsWith(url));
}

TEST(SaveSettings, ForcesRestoreModeOffOutsideInteractiveMode) {
    test::TempDir dir;
    Configuration config;
    config.settings.SourceMode = 3;
    config.settings.RestoreMode = true;
    ASSERT_TRUE(SaveSettings(config, dir.file(kIni)));
    EXPECT_FALSE(config.settings.RestoreMode) << "in the record itself";
    EXPECT_TRUE(dir.read(kIni).contains("\nRestoreMode=0\n"));
}

TEST(SaveSettings, WritesEveryChannelAndLoadReadsTheFirst256) {
    test::TempDir dir;
    Configuration config;
    for (int i = 1; i <= 300; ++i) {
        config.channels.append(
            Channel(QStringLiteral("http://host/%1").arg(i), i % 2 == 0, static_cast<qint16>(i)));
    }
    config.pluginFiles.append(QStringLiteral("dsp.so"));
    const Configuration back = SaveAndLoad(dir, config);
    EXPECT_TRUE(dir.read(kIni).contains("\nURL300=http://host/300\nAlways300=1\nAmp300=300\n"));
    ASSERT_EQ(back.channels.size(), kMaxLoadedChannels);
    for (int i = 0; i < kMaxLoadedChannels; ++i) {
        EXPECT_EQ(*back.channels[i], *config.channels[i]);
    }
    EXPECT_EQ(back.pluginFiles, config.pluginFiles);
}

TEST(SaveSettings, FailureLeavesTheOldFileWhole) {
    test::TempDir dir;
    Configuration config;
    config.settings.Volume = 12;

    // A folder that does not exist, and a folder where the file should be.
    const QString missing = dir.file(QStringLiteral("missing/QVMirelta.ini"));
    ConfigResult result = SaveSettings(config, missing);
    EXPECT_FALSE(result);
    EXPECT_EQ(result.error, QStringLiteral("Unable to write to ") + missing);
    EXPECT_FALSE(QFileInfo::exists(dir.file(QStringLiteral("missing"))));

    ASSERT_TRUE(QDir(dir.path()).mkpath(QStringLiteral("taken/QVMirelta.ini/inner")));
    const QString folder = dir.file(QStringLiteral("taken/QVMirelta.ini"));
    result = SaveSettings(config, folder);
    EXPECT_EQ(result.error, UnreadableSettingsMessage(folder));
    EXPECT_TRUE(QFileInfo(folder + QStringLiteral("/inner")).isDir());
    EXPECT_EQ(
        QDir(dir.file(QStringLiteral("taken"))).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
        QStringList{kIni})
        << "no temporary file is left behind";

    // A write that fails half-way (the file size limit stands in for a full
    // disk): the old file keeps every byte.
    const QByteArray old = "[Setting]\nVolume=99\n";
    dir.write(kIni, old);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    result = SaveSettings(config, dir.file(kIni));
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(result.error, QStringLiteral("Unable to write to ") + dir.file(kIni));
    EXPECT_EQ(dir.read(kIni), old);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{kIni});
}

// A station's file that exists but cannot be read (here: grown past what the
// reader takes) gives defaults and a message, and is never written over,
// also once it has become readable again: saving would put the defaults
// (no channels) over the station's settings.
TEST(SettingsFile, AFileThatCouldNotBeReadIsNeverSavedOver) {
    test::TempDir dir;
    const QString path = dir.file(kIni);
    const QByteArray station = "[Channels]\nURL1=http://radio.example/live\n";
    const QByteArray big = station + "; padding\n" + QByteArray(IniDocument::kMaxFileSize, ';');
    dir.write(kIni, big);

    Configuration config;
    const ConfigResult loaded = LoadSettings(config, path, dir.path());
    EXPECT_FALSE(loaded);
    EXPECT_EQ(loaded.error, UnreadableSettingsMessage(path));
    EXPECT_TRUE(loaded.error.contains(path));
    EXPECT_TRUE(config.fileUnreadable);
    EXPECT_TRUE(config.channels.isEmpty());

    ConfigResult saved = SaveSettings(config, path);
    EXPECT_FALSE(saved);
    EXPECT_EQ(saved.error, UnreadableSettingsMessage(path));
    EXPECT_EQ(dir.read(kIni), big);

    dir.write(kIni, station);
    saved = SaveSettings(config, path);
    EXPECT_FALSE(saved) << "the defaults in memory did not come from this file";
    EXPECT_EQ(dir.read(kIni), station);

    // A fresh load of the readable file may be saved again.
    Configuration again;
    EXPECT_TRUE(LoadSettings(again, path, dir.path()));
    EXPECT_FALSE(again.fileUnreadable);
    ASSERT_EQ(again.channels.size(), 1);
    EXPECT_TRUE(SaveSettings(again, path));
}

}  // namespace
}  // namespace qvm
