// The whole player in this process, as the executable puts it together: the
// real engine on the null output with its capture, real streams from the
// fixture server, the main window offscreen, and the settings dialog opened
// with the gear button and driven through its widgets.
#include "core/PlayerApp.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFile>
#include <QGroupBox>
#include <QHash>
#include <QLabel>
#include <QLineEdit>
#include <QSet>
#include <QSlider>
#include <QTabWidget>
#include <QTableWidget>
#include <QTest>
#include <QTimer>
#include <QtEndian>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include <unistd.h>

#include "config/SettingsDialog.h"
#include "e2e/E2eSupport.h"
#include "lang/Language.h"
#include "studio/StudioLink.h"
#include "support/LinkThread.h"
#include "support/RawHttpClient.h"
#include "support/SocketIo.h"
#include "support/StreamServer.h"
#include "support/TempDir.h"

namespace qvm::test {
namespace {

using namespace std::chrono_literals;

// A settings file and the shipped language files in a folder of its own, and
// the player of that installation.
class PlayerAppTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name : {"English", "Deutsch"}) {
            const QString file = QStringLiteral("QVMirelta.%1.lng").arg(QLatin1String(name));
            ASSERT_TRUE(
                QFile::copy(QStringLiteral(QVM_SOURCE_LANG_DIR "/") + file, dir.file(file)));
        }
        capture = dir.file(QStringLiteral("capture.wav")).toStdString();
        ::setenv("QVMIRELTA_CAPTURE_WAV", capture.c_str(), 1);
    }
    void TearDown() override {
        app.reset();
        ::unsetenv("QVMIRELTA_CAPTURE_WAV");
    }

    void start(const PlayerConfig& config) { startWithIni(PlayerIni(config)); }
    // In interactive mode with PID 7, its studio link in the test's folder.
    void startInteractive(const PlayerConfig& config) {
        QString ini = PlayerIni(config);
        ini.replace(QStringLiteral("SourceMode=1\n"), QStringLiteral("SourceMode=3\nPID=7\n"));
        const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
        ::setenv("XDG_RUNTIME_DIR", QFile::encodeName(dir.path()).constData(), 1);
        startWithIni(ini);
        ::setenv("XDG_RUNTIME_DIR", runtime.constData(), 1);
    }
    TWinMSG::Options studioLinkOptions(const char* className) const {
        TWinMSG::Options options;
        options.folder = dir.path() + QStringLiteral("qvmirelta-link/");
        options.className = className;
        return options;
    }
    // The player's window as a studio program finds it on the link.
    static std::uint32_t FindPlayer(test::LinkThread& studio) {
        return studio.call([](TWinMSG& link) {
            for (const PeerWindow& w : link.EnumWindows()) {
                if (w.ClassName == "TQV_Mirelta") {
                    return w.Handle;
                }
            }
            return std::uint32_t{0};
        });
    }
    void startWithIni(const QString& ini) {
        dir.write(QStringLiteral("QVMirelta.ini"), ini.toUtf8());
        auto language = std::make_unique<TLanguage>(dir.path(), QStringLiteral("QVMirelta."));
        ASSERT_TRUE(language->SelectStartLanguage(dir.file(QStringLiteral("QVMirelta.ini")),
                                                  QStringLiteral("Setting"),
                                                  QStringLiteral("English")));
        app =
            std::make_unique<PlayerApp>(dir.file(QStringLiteral("QVMirelta")), std::move(language));
        ASSERT_TRUE(app->start());
    }

    // Presses the gear button and, once the dialog is open, hands it to
    // `drive`, which must close it.
    void withSettingsDialog(const std::function<void(TFSettings&)>& drive) {
        bool driven = false;
        QTimer::singleShot(0, &app->window(), [&] {
            TFSettings* dialog = app->settingsDialog();
            ASSERT_NE(dialog, nullptr);
            driven = true;
            drive(*dialog);
            if (dialog->isVisible()) {
                ADD_FAILURE() << "the dialog was left open";
                dialog->reject();
            }
        });
        button(app->window(), "SBSetting")->click();  // returns once the dialog has closed
        EXPECT_TRUE(driven);
        EXPECT_EQ(app->settingsDialog(), nullptr);
    }

    static QAbstractButton* button(QObject& window, const char* name) {
        auto* b = window.findChild<QAbstractButton*>(QLatin1String(name));
        EXPECT_NE(b, nullptr) << name;
        return b;
    }

    // Waits, with the event loop running, until `done` or the timeout.
    static bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
        return QTest::qWaitFor(done, static_cast<int>(timeout.count()));
    }

    TempDir dir;
    std::string capture;
    std::unique_ptr<PlayerApp> app;
};

// A station changes the amplification and then the URL of the channel on air
// through the dialog while the player runs: the new level is heard without a
// gap or a reconnection, the new URL reconnects that channel alone, and the
// other channel never notices.
TEST_F(PlayerAppTest, DialogChangesAmplificationAndUrlOfTheChannelOnAir) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the capture is read as real-time audio, which the player and the test's "
                    "stream encoder cannot keep up under ThreadSanitizer; the dialog's and the "
                    "player's threads are covered by the other tests here";
#endif
    StreamServer server;
    server.addMount("/a.mp3", Mount({Tone{440.0, kForever, 0.5}}));
    server.addMount("/b.mp3", Mount({Tone{660.0, kForever, 0.5}}));
    server.addMount("/c.mp3", Mount({Tone{550.0, kForever, 0.5}}));
    const std::string other = server.url("/c.mp3");
    start({.urls = {QString::fromStdString(server.url("/a.mp3")),
                    QString::fromStdString(server.url("/b.mp3"))},
           .always = {true, true},
           .chFadeIn = 0.1});
    ASSERT_TRUE(waitFor([&] { return app->player().OnAirIndex() == 0; }, 10s));
    QTest::qWait(2500);

    // Amplification only: "Save channel", then the dialog's close box.
    withSettingsDialog([](TFSettings& dialog) {
        dialog.selectRow(0);
        dialog.findChild<QSlider*>(QStringLiteral("SAmplifier"))->setValue(-60);  // -6 dB
        button(dialog, "SaveChannel")->click();
        dialog.close();
    });
    QTest::qWait(2500);
    EXPECT_EQ(server.connectionCount("/a.mp3"), 1) << "a new level needs no new connection";

    // The URL, saved to the file with "Save settings".
    withSettingsDialog([&other](TFSettings& dialog) {
        dialog.selectRow(0);
        dialog.findChild<QLineEdit*>(QStringLiteral("EURL"))
            ->setText(QString::fromStdString(other));
        button(dialog, "SaveChannel")->click();
        button(dialog, "SBSave")->click();
    });
    EXPECT_TRUE(waitFor([&] { return server.connectionCount("/c.mp3") == 1; }, 10s));
    QTest::qWait(3000);
    EXPECT_EQ(app->player().OnAirIndex(), 0);
    EXPECT_EQ(server.connectionCount("/b.mp3"), 1) << "the other channel kept its connection";
    EXPECT_TRUE(dir.read(QStringLiteral("QVMirelta.ini"))
                    .contains(QByteArray("URL1=") + QByteArray::fromStdString(other)));
    app.reset();  // ends the capture

    std::string error;
    const auto wav = ReadWav(capture, &error);
    ASSERT_TRUE(wav) << error;
    // In the capture's own time: 440 Hz at the stream's level, the same tone
    // 6 dB lower with no silence between, then the new stream's 550 Hz at the
    // new level.
    enum Phase { Before, Full, Lowered, NewStream } phase = Before;
    int fullWindows = 0;
    int loweredWindows = 0;  // before the first window without the tone
    bool loweredRun = true;
    for (const WindowStats& w : AnalyseWindows(*wav, 0.1)) {
        const bool a = std::abs(w.frequency - 440.0) < 15.0;
        const bool c = std::abs(w.frequency - 550.0) < 15.0;
        const auto at = [&w](double db) { return std::abs(w.peakDb - db) < 1.5; };
        if (phase == Before) {
            phase = a && at(-6.0) ? Full : Before;
        } else if (phase == Full) {
            if (!a) {
                ADD_FAILURE() << "the channel on air was interrupted at " << w.start << " s ("
                              << w.frequency << " Hz, " << w.peakDb << " dB)";
                break;
            }
            ++fullWindows;
            phase = at(-12.0) ? Lowered : Full;
        } else if (phase == Lowered) {
            loweredRun = loweredRun && a;
            loweredWindows += loweredRun ? 1 : 0;
            phase = c && at(-12.0) ? NewStream : Lowered;
        }
    }
    EXPECT_EQ(phase, NewStream);
    EXPECT_GT(fullWindows, 10);
    EXPECT_GT(loweredWindows, 15) << "the lowered tone went on until the URL changed";
}
// A new installation: an empty settings file, the player waiting for a sound
// device, and the relay set up through the dialog alone (the README's walk
// through): the device, autoplay and two channels that play always. The
// player starts on the device as soon as the settings are saved.
TEST_F(PlayerAppTest, EmptySettingsFileIsSetUpThroughTheDialogAlone) {
    StreamServer server;
    server.addMount("/programme.mp3", Mount({Tone{440.0, kForever, 0.5}}));
    server.addMount("/backup.mp3", Mount({Tone{660.0, kForever, 0.5}}));
    const QStringList urls = {QString::fromStdString(server.url("/programme.mp3")),
                              QString::fromStdString(server.url("/backup.mp3"))};
    startWithIni(QString());
    QTest::qWait(500);
    EXPECT_EQ(app->player().Handler(), Player::TimerHandler::WaitDevice);

    withSettingsDialog([&urls](TFSettings& dialog) {
        auto* cards = dialog.findChild<QComboBox*>(QStringLiteral("CBCard"));
        cards->setCurrentIndex(cards->findText(QStringLiteral("Null output")));
        ASSERT_GE(cards->currentIndex(), 0);
        dialog.findChild<QCheckBox*>(QStringLiteral("CBAMode"))->setChecked(true);
        for (int row = 0; row < urls.size(); ++row) {
            dialog.selectRow(row);  // the empty row at the end
            dialog.findChild<QLineEdit*>(QStringLiteral("EURL"))->setText(urls[row]);
            dialog.findChild<QCheckBox*>(QStringLiteral("CBPlayAlways"))->setChecked(true);
            button(dialog, "SaveChannel")->click();
        }
        button(dialog, "SBSave")->click();
    });
    ASSERT_TRUE(waitFor([&] { return app->player().OnAirIndex() == 0; }, 10s));
    EXPECT_TRUE(waitFor([&] { return server.connectionCount("/backup.mp3") == 1; }, 10s))
        << "the second channel plays always";
    QTest::qWait(3000);
    const QByteArray ini = dir.read(QStringLiteral("QVMirelta.ini"));
    for (const QString& line :
         {QStringLiteral("Device=Null output"), QStringLiteral("URL1=") + urls[0],
          QStringLiteral("URL2=") + urls[1], QStringLiteral("Always2=1")}) {
        EXPECT_TRUE(ini.contains(line.toUtf8())) << line.toStdString();
    }
    app.reset();

    std::string error;
    const auto wav = ReadWav(capture, &error);
    ASSERT_TRUE(wav) << error;
    ASSERT_GT(wav->seconds(), 2.0);
    const std::vector<float> last = wav->channel(0, wav->seconds() - 1.0, wav->seconds());
    EXPECT_NEAR(DominantFrequency(last, wav->sampleRate), 440.0, 15.0) << "the programme on air";
}

// The remote control inside the running player: while the UI thread plays
// and switches, clients on other threads read the status page and send
// commands; every answer is whole, and the commands reach the player.
TEST_F(PlayerAppTest, StatusPageAndCommandsWhileThePlayerRuns) {
    StreamServer server;
    server.addMount("/a.mp3", Mount({Title{"A <b>"}, Tone{440.0, kForever, 0.5}}));
    server.addMount("/b.mp3", Mount({Title{"B"}, Tone{660.0, kForever, 0.5}}));
    const int port = io::FreeLoopbackPort();
    PlayerConfig config;
    config.urls = {QString::fromStdString(server.url("/a.mp3")),
                   QString::fromStdString(server.url("/b.mp3"))};
    config.httpPort = port;
    start(config);
    ASSERT_TRUE(waitFor([&] { return app->player().OnAirIndex() == 0; }, 10s));

    std::atomic<bool> done{false};
    std::atomic<int> pages{0};
    std::atomic<int> broken{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < 3; ++c) {
        clients.emplace_back([&, c] {
            for (int i = 0; !done.load(); ++i) {
                const std::string target = c == 0 ? "/Play?" + std::to_string(i % 2) : "/";
                const auto answer = HttpExchange(static_cast<std::uint16_t>(port),
                                                 "GET " + target + " HTTP/1.1\r\n\r\n");
                const bool whole = answer && answer->starts_with("HTTP/1.1 200 OK\r\n") &&
                                   answer->ends_with("</div></body></html>\r\n");
                (whole ? pages : broken).fetch_add(1);
                std::this_thread::sleep_for(std::chrono::milliseconds(c == 0 ? 300 : 5));
            }
        });
    }
    QTest::qWait(3000);  // the UI thread runs the player meanwhile
    done = true;
    for (std::thread& t : clients) {
        t.join();
    }
    EXPECT_GT(pages.load(), 100);
    EXPECT_EQ(broken.load(), 0);
    const auto page = HttpExchange(static_cast<std::uint16_t>(port), "GET / HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(page);
    EXPECT_NE(page->find("A &lt;b&gt;"), std::string::npos);
    EXPECT_EQ(page->find("A <b>"), std::string::npos);
    ASSERT_TRUE(HttpExchange(static_cast<std::uint16_t>(port), "GET /Play?1 HTTP/1.1\r\n\r\n"));
    EXPECT_TRUE(waitFor([&] { return app->player().OnAirIndex() == 1; }, 5s))
        << "the command reached the player";
}

// A studio program on the link, in interactive mode: it says Hello and is
// counted in the status line, identifies the player, receives the title and
// the PCM of the channel on air, and its commands act on the player.
TEST_F(PlayerAppTest, StudioProgramDrivesThePlayerOverTheLink) {
    StreamServer server;
    server.addMount("/a.mp3", Mount({Title{"Morning"}, Tone{440.0, kForever, 0.5}}));
    server.addMount("/b.mp3", Mount({Tone{660.0, kForever, 0.5}}));
    PlayerConfig config;
    config.urls = {QString::fromStdString(server.url("/a.mp3")),
                   QString::fromStdString(server.url("/b.mp3"))};
    startInteractive(config);
    ASSERT_TRUE(waitFor([&] { return app->player().OnAirIndex() == 0; }, 10s));
    auto* windows = app->window().findChild<QLabel*>(QStringLiteral("LabWindows"));
    ASSERT_NE(windows, nullptr);
    EXPECT_EQ(windows->text(), QStringLiteral("Off"));

    struct Received {
        std::mutex mutex;
        QList<QByteArray> titles;
        int pcmBlocks = 0;
        QByteArray lastPcm;
    };
    auto received = std::make_shared<Received>();
    TWinMSG::Options options = studioLinkOptions("TStudio");
    test::LinkThread studio(options, [received](TWinMSG& link) {
        link.setDataHandler([received](std::uint32_t, std::uint32_t kind, const QByteArray& bytes) {
            const std::lock_guard<std::mutex> lock(received->mutex);
            if (kind == kTitleDataKind) {
                received->titles << bytes;
            } else if (kind == kPcmDataKind) {
                ++received->pcmBlocks;
                received->lastPcm = bytes;
            }
            return 0;
        });
    });
    ASSERT_TRUE(studio.ok());
    const std::uint32_t player = FindPlayer(studio);
    ASSERT_NE(player, 0u);
    const auto command = [&](std::int16_t hi, std::uint16_t lo) {
        return studio.call([=](TWinMSG& link) { return link.SendCommand(player, hi, lo); });
    };

    EXPECT_EQ(command(TWinMSG::kControl, TWinMSG::kHello), 0);
    EXPECT_TRUE(waitFor([&] { return windows->text() == QStringLiteral("On"); }, 2s));
    EXPECT_EQ(command(TWinMSG::kControl, TWinMSG::kIdentify), 7);

    // The title when the peer is there to hear it, and the PCM of the
    // channel on air: its rate, two channels, 16 bits, and samples.
    app->player().Channel(0).setTitleChanged(true);
    EXPECT_TRUE(waitFor(
        [&] {
            const std::lock_guard<std::mutex> lock(received->mutex);
            return received->pcmBlocks > 20 && !received->titles.isEmpty();
        },
        5s));
    {
        const std::lock_guard<std::mutex> lock(received->mutex);
        EXPECT_EQ(received->titles.last(), QByteArray("\xff\xff\0\0\0\0Morning", 13));
        const QByteArray& pcm = received->lastPcm;
        ASSERT_GT(pcm.size(), 22);
        EXPECT_EQ(qFromLittleEndian<std::int32_t>(pcm.constData()),
                  static_cast<std::int32_t>(app->player().Channel(0).Freq()));
        EXPECT_EQ(static_cast<int>(pcm[4]), 2);
        EXPECT_EQ(static_cast<int>(pcm[5]), 16);
    }

    command(StudioLink::kCmdVolume, 40);
    EXPECT_EQ(app->player().VolumePosition(), 40);
    command(StudioLink::kCmdVolume, 250);
    EXPECT_EQ(app->player().VolumePosition(), 100) << "clamped";
    command(StudioLink::kCmdStop, 0);
    EXPECT_FALSE(app->player().Playing());
    command(StudioLink::kCmdPlay, 2);
    EXPECT_TRUE(app->player().Playing());
    // The fades (FadeIn and FadeOut are 0 here: at once).
    command(StudioLink::kCmdFadeOut, 0);
    EXPECT_TRUE(waitFor([&] { return app->player().MainVolume() == 0; }, 2s));
    command(StudioLink::kCmdFadeIn, 0);
    EXPECT_TRUE(waitFor([&] { return app->player().MainVolume() == 100; }, 2s));
    command(StudioLink::kCmdStop, 3);
    EXPECT_TRUE(waitFor([&] { return !app->player().Playing(); }, 2s)) << "stops when faded out";
    command(StudioLink::kCmdPlay, 0);
    EXPECT_TRUE(app->player().Playing()) << "starts, faded out";
    EXPECT_TRUE(waitFor([&] { return app->player().MainVolume() == 0; }, 2s));
    command(StudioLink::kCmdPlay, 2);
    EXPECT_TRUE(waitFor([&] { return app->player().MainVolume() == 100; }, 2s));

    // A second studio window is counted, and both leaving shows "Off".
    {
        TWinMSG::Options second = options;
        second.className = "TStudio2";
        test::LinkThread other(second);
        other.call([player](TWinMSG& link) {
            return link.SendCommand(player, TWinMSG::kControl, TWinMSG::kHello);
        });
        EXPECT_TRUE(waitFor([&] { return windows->text() == QStringLiteral("2"); }, 2s));
    }  // gone without Goodbye: dropped by the next 100 ms scan
    QElapsedTimer gone;
    gone.start();
    EXPECT_TRUE(waitFor([&] { return windows->text() == QStringLiteral("On"); }, 2s));
    EXPECT_LT(gone.elapsed(), 400);

    // Out of interactive mode the player hears nothing.
    app->player().configuration().settings.SourceMode = 1;
    EXPECT_EQ(command(TWinMSG::kControl, TWinMSG::kIdentify), 0);
    app->player().configuration().settings.SourceMode = 3;
    command(TWinMSG::kControl, 2);  // Goodbye
    EXPECT_EQ(windows->text(), QStringLiteral("Off"));
    EXPECT_EQ(windows->palette().color(windows->foregroundRole()), QColor(Qt::red));
}

// The studio program's PCM runs `Delay` behind what is heard: the programme
// falls silent on air first and in the studio feed 800 ms later. A studio
// program that says Hello while the player is in silence is told so at once.
TEST_F(PlayerAppTest, StudioFeedRunsDelayBehindTheAirAndNewcomersHearOfTheSilence) {
    StreamServer server;
    server.addMount("/a.mp3", Mount({Tone{440.0, 6.0, 0.5}, Silence{kForever}}));
    PlayerConfig config;
    config.urls = {QString::fromStdString(server.url("/a.mp3"))};
    config.delay = 800;
    startInteractive(config);
    ASSERT_TRUE(waitFor([&] { return app->player().OnAirIndex() == 0; }, 10s));

    using Clock = std::chrono::steady_clock;
    struct Feed {
        std::mutex mutex;
        std::optional<Clock::time_point> loud;
        std::optional<Clock::time_point> quietAfterLoud;
        std::vector<std::uint32_t> notices;
    };
    auto feed = std::make_shared<Feed>();
    TWinMSG::Options options = studioLinkOptions("TStudio");
    const auto setup = [feed](TWinMSG& link) {
        link.setDataHandler([feed](std::uint32_t, std::uint32_t kind, const QByteArray& bytes) {
            if (kind != kPcmDataKind || bytes.size() <= 22) {
                return 0;
            }
            double left = 0.0;
            std::memcpy(&left, bytes.constData() + 6, sizeof left);
            const std::lock_guard<std::mutex> lock(feed->mutex);
            if (left > -30.0) {
                feed->loud = Clock::now();
            } else if (feed->loud && !feed->quietAfterLoud) {
                feed->quietAfterLoud = Clock::now();
            }
            return 0;
        });
        link.setCommandHandler([feed, &link](std::uint32_t w, std::uint32_t l) {
            link.HandleMessage(w, l);
            const std::lock_guard<std::mutex> lock(feed->mutex);
            feed->notices.push_back(l);
            return 0;
        });
    };
    test::LinkThread studio(options, setup);
    const std::uint32_t player = FindPlayer(studio);
    ASSERT_NE(player, 0u);
    studio.call([player](TWinMSG& link) {
        return link.SendCommand(player, TWinMSG::kControl, TWinMSG::kHello);
    });

    // What is heard, tick by tick, against what the feed carries.
    std::optional<Clock::time_point> heardQuiet;
    bool heardLoud = false;
    const auto end = Clock::now() + 15s;
    while (Clock::now() < end && !heardQuiet) {
        QTest::qWait(5);
        const double level = app->player().Channel(0).Get_Channel_Level().left;
        heardLoud = heardLoud || level > -30.0;
        if (heardLoud && level < -60.0) {
            heardQuiet = Clock::now();
        }
    }
    ASSERT_TRUE(heardQuiet) << "the programme never fell silent on air";
    ASSERT_TRUE(waitFor(
        [&] {
            const std::lock_guard<std::mutex> lock(feed->mutex);
            return feed->quietAfterLoud.has_value();
        },
        5s));
    const auto lag =
        std::chrono::duration_cast<std::chrono::milliseconds>(*feed->quietAfterLoud - *heardQuiet);
    std::printf("studio feed fell silent %lld ms after the air (Delay 800)\n",
                static_cast<long long>(lag.count()));
    EXPECT_GT(lag.count(), 650) << "the feed runs Delay behind the air";
    EXPECT_LT(lag.count(), 1100);

    // Silence on air with no substitute: a newcomer is told at once.
    ASSERT_TRUE(waitFor([&] { return app->player().SilenceState(); }, 5s));
    options.className = "TStudio2";
    auto told = std::make_shared<Feed>();
    test::LinkThread newcomer(options, [told](TWinMSG& link) {
        link.setCommandHandler([told](std::uint32_t, std::uint32_t l) {
            const std::lock_guard<std::mutex> lock(told->mutex);
            told->notices.push_back(l);
            return 0;
        });
    });
    newcomer.call([player](TWinMSG& link) {
        return link.SendCommand(player, TWinMSG::kControl, TWinMSG::kHello);
    });
    const std::lock_guard<std::mutex> lock(told->mutex);
    EXPECT_EQ(told->notices, std::vector<std::uint32_t>{0x04000000u})
        << "NoteSilence lo 0, before the Hello was answered";
    // The first studio program was told when the silence began, not while it
    // lasted: silence and online notices alternate (a slow machine may let
    // the stream reconnect and play its tone again in between).
    const std::lock_guard<std::mutex> first(feed->mutex);
    std::vector<std::uint32_t> states;
    for (const std::uint32_t n : feed->notices) {
        if ((n >> 16) == kNoteSilence || (n >> 16) == kNoteOnline) {
            states.push_back(n >> 16);
        }
    }
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.front(), kNoteSilence);
    EXPECT_EQ(states.back(), kNoteSilence);
    EXPECT_EQ(std::adjacent_find(states.begin(), states.end()), states.end())
        << "a silence told twice";
}

// The values of a language file's window sections, by "section/key".
QHash<QString, QString> WindowTexts(const QString& path) {
    QHash<QString, QString> texts;
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    QString section;
    for (const QString& line : QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'))) {
        const QString l = line.trimmed();
        if (l.startsWith(QLatin1Char('['))) {
            section = l.mid(1, l.indexOf(QLatin1Char(']')) - 1);
        } else if (const qsizetype eq = l.indexOf(QLatin1Char('='));
                   eq > 0 && (section == QLatin1String("QV_Mirelta") ||
                              section == QLatin1String("FSettings"))) {
            texts.insert(section + QLatin1Char('/') + l.left(eq), l.mid(eq + 1));
        }
    }
    return texts;
}

// Every text a user sees on the visible widgets of `window`: captions,
// labels, buttons, hints, tabs and grid headings.
QStringList VisibleTexts(QWidget& window) {
    QStringList texts{window.windowTitle()};
    for (QWidget* w : window.findChildren<QWidget*>()) {
        if (!w->isVisible()) {
            continue;
        }
        texts << w->toolTip();
        if (auto* b = qobject_cast<QAbstractButton*>(w)) {
            texts << b->text();
        } else if (auto* l = qobject_cast<QLabel*>(w)) {
            texts << l->text();
        } else if (auto* g = qobject_cast<QGroupBox*>(w)) {
            texts << g->title();
        } else if (auto* t = qobject_cast<QTabWidget*>(w)) {
            for (int i = 0; i < t->count(); ++i) {
                texts << t->tabText(i);
            }
        } else if (auto* grid = qobject_cast<QTableWidget*>(w)) {
            for (int i = 0; i < grid->columnCount(); ++i) {
                texts << grid->horizontalHeaderItem(i)->text();
            }
        }
    }
    texts.removeAll(QString());
    return texts;
}

// Choosing another language in the dialog translates the main window behind
// it at once; the file keeps the old language until the settings are saved.
TEST_F(PlayerAppTest, ChoosingALanguageTranslatesTheMainWindowAtOnce) {
    start({.urls = {QStringLiteral("http://127.0.0.1:9/none")}});
    // The English texts a German user must no longer see: those the German
    // file words differently.
    const QHash<QString, QString> english =
        WindowTexts(dir.file(QStringLiteral("QVMirelta.English.lng")));
    const QHash<QString, QString> german =
        WindowTexts(dir.file(QStringLiteral("QVMirelta.Deutsch.lng")));
    QSet<QString> englishOnly;
    for (auto it = english.begin(); it != english.end(); ++it) {
        if (german.value(it.key(), it.value()) != it.value() &&
            !it.value().contains(QLatin1Char('\\'))) {
            englishOnly.insert(it.value());
        }
    }
    ASSERT_GT(englishOnly.size(), 50);
    QWidget& window = app->window();
    const auto englishSeen = [&englishOnly](QWidget& w) {
        QStringList seen;
        for (const QString& text : VisibleTexts(w)) {
            if (englishOnly.contains(text)) {
                seen << text;
            }
        }
        return seen;
    };
    const auto show = [](const QStringList& texts) {
        return texts.join(QStringLiteral(" | ")).toStdString();
    };
    EXPECT_FALSE(englishSeen(window).isEmpty()) << "the main window starts in English";

    withSettingsDialog([&](TFSettings& dialog) {
        auto* pages = dialog.findChild<QTabWidget*>(QStringLiteral("PC"));
        int beforeSwitch = 0;
        for (int i = 0; i < pages->count(); ++i) {
            pages->setCurrentIndex(i);
            beforeSwitch += static_cast<int>(englishSeen(dialog).size());
        }
        EXPECT_GT(beforeSwitch, 40) << "the dialog starts in English";
        auto* languages = dialog.findChild<QComboBox*>(QStringLiteral("CBLanguage"));
        languages->setCurrentIndex(
            languages->findText(QStringLiteral("Deutsch"), Qt::MatchStartsWith));
        EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Einstellungen"));
        for (int i = 0; i < pages->count(); ++i) {
            pages->setCurrentIndex(i);
            EXPECT_EQ(show(englishSeen(dialog)), "") << "page " << i;
        }
        EXPECT_EQ(show(englishSeen(window)), "") << "the main window, while the dialog is open";
        EXPECT_EQ(button(window, "SBSetting")->toolTip(), QStringLiteral("Einstellungen"));
        dialog.close();
    });
    EXPECT_EQ(show(englishSeen(window)), "") << "after the dialog closed unsaved";
    EXPECT_TRUE(dir.read(QStringLiteral("QVMirelta.ini")).contains(QByteArray("Language=English")))
        << "the file changes only with Save settings";
}

}  // namespace
}  // namespace qvm::test
