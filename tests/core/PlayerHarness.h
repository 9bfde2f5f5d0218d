#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QString>
#include <chrono>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "channel/Channel.h"
#include "channel/ChannelHarness.h"
#include "config/SettingsFile.h"
#include "core/Player.h"
#include "core/PlayerView.h"
#include "core/StudioSink.h"
#include "core/TimeBase.h"
#include "lang/Language.h"
#include "support/FakeAudioEngine.h"
#include "support/FakeClock.h"
#include "support/TempDir.h"

namespace qvm::test {

// Remembers what the player showed, and the answers it is to get.
class RecordingPlayerView final : public IPlayerView {
  public:
    struct Presenter final : MessagePresenter {
        MessageAnswer answer = MessageAnswer::Yes;
        QStringList questions;
        QStringList errors;
        MessageAnswer present(const QString& text, MessageKind kind,
                              MessageButtons buttons) override {
            (kind == MessageKind::Error ? errors : questions).append(text);
            return buttons == MessageButtons::YesNo ? answer : MessageAnswer::Ok;
        }
    };

    void setDeviceText(const QString& text) override { deviceText = text; }
    void setLevels(double l, double r) override {
        left = l;
        right = r;
    }
    void showPlayState(bool playing) override { playStates.push_back(playing); }
    void setSourceVisible(bool visible) override { sourceVisible = visible; }
    void setSourceText(const QString& text) override { sourceText = text; }
    void setSilenceState(bool silence) override { silenceStates.push_back(silence); }
    void setVolumePosition(int position) override { volumePositions.push_back(position); }
    void setSentTitle(const QString& title) override { sentTitle = title; }
    void setInteractive(bool on) override { interactive = on; }
    IChannelView* addChannelPage() override {
        pages.push_back(std::make_unique<RecordingView>());
        return pages.back().get();
    }
    void removeLastChannelPage() override { pages.pop_back(); }
    void labelChannelTabs() override { ++tabLabels; }
    void showChannelPage(int index) override { shownPages.push_back(index); }
    void setStopProgress(int percent) override { progress.push_back(percent); }
    void closeStopProgress() override { ++progressClosed; }
    MessagePresenter& messagePresenter() override { return presenter; }
    void setHideToTray(bool hide) override { hideToTray = hide; }
    void minimizeToTray() override { ++minimized; }
    void Language_Change() override {
        ++languageChanges;
        calls << QStringLiteral("Language_Change");
    }
    void translateSkinTexts() override { calls << QStringLiteral("translateSkinTexts"); }
    void applyTitle() override { calls << QStringLiteral("applyTitle"); }
    void shrinkToMainPanel() override { ++shrunk; }

    Presenter presenter;
    QString deviceText, sourceText, sentTitle;
    double left = 0, right = 0;
    std::vector<bool> playStates, silenceStates;
    std::vector<int> volumePositions, shownPages, progress;
    std::vector<std::unique_ptr<RecordingView>> pages;
    bool sourceVisible = false, interactive = false, hideToTray = false;
    int tabLabels = 0, progressClosed = 0, minimized = 0, languageChanges = 0, shrunk = 0;
    QStringList calls;  // start-up and language calls, in order
};

// What reached the studio link.
struct StudioRecord {
    std::vector<std::pair<std::uint16_t, std::uint16_t>> notes;
    std::vector<std::pair<std::uint32_t, QByteArray>> data;
    bool failSends = false;
    bool destroyed = false;

    std::vector<QByteArray> dataOf(std::uint32_t kind) const {
        std::vector<QByteArray> out;
        for (const auto& [k, bytes] : data) {
            if (k == kind) {
                out.push_back(bytes);
            }
        }
        return out;
    }
};

class RecordingStudio final : public StudioSink {
  public:
    explicit RecordingStudio(StudioRecord& record) : m_record(record) {}
    ~RecordingStudio() override { m_record.destroyed = true; }
    void Broadcast(std::uint16_t hi, std::uint16_t lo) override {
        m_record.notes.emplace_back(hi, lo);
    }
    bool SendData(std::uint32_t kind, const QByteArray& bytes) override {
        m_record.data.emplace_back(kind, bytes);
        return !m_record.failSends;
    }

  private:
    StudioRecord& m_record;
};

// A player on the scripted engine with fake time, a recording window and a
// recording studio link. The tests drive the main loop themselves (tick, run)
// so that every timer is exact; connect attempts still run on real threads and
// are waited for in real time. Channel fades default to 0 s, so cross-fades
// complete inside the operation that starts them.
class PlayerHarness : public ::testing::Test {
  protected:
    PlayerHarness() : m_ticks(&FakeClock::Tick32) {
        FakeClock::tick = 1000;
        FakeClock::wallDays = 20000.5;
        const QString lng = QStringLiteral("QVMirelta.English.lng");
        QFile::copy(qEnvironmentVariable("QVM_SOURCE_DIR") + QStringLiteral("/lang/") + lng,
                    dir.file(lng));
        PlayerSettings& s = config.settings;
        s.Device = QStringLiteral("Null output");
        s.SourceMode = 1;
        s.FadeIn = 0;
        s.FadeOut = 0;
        s.ChFadeIn = 0;
        s.ChFadeOut = 0;
        s.SilenceTime = 1;
        s.RestoreTime = 0.5;
        s.Wait = 0;
    }

    ~PlayerHarness() override { player.reset(); }

    // Back to the state before start(), for the next row of a table.
    void fresh() {
        player.reset();
        engine.Free();
        studio = StudioRecord{};
        view = RecordingPlayerView{};
        quits.clear();
        quiet.clear();
        config.channels.clear();
    }

    void addChannels(int n, bool always = false) {
        for (int i = 0; i < n; ++i) {
            auto ch = std::make_shared<ChannelSettings>();
            ch->URL = QStringLiteral("http://radio.invalid/%1").arg(config.channels.size() + 1);
            ch->Always = always;
            config.channels.append(ch);
        }
    }

    QString iniPath() const { return dir.file(QStringLiteral("QVMirelta.ini")); }

    PlayerOptions options() const {
        PlayerOptions o;
        o.iniPath = iniPath();
        o.exeFolder = dir.path();
        o.wallClock = &FakeClock::WallDays;
        o.documentOpener = opener;
        o.catchTermination = catchTermination;
        o.raisePriority = false;
        return o;
    }

    // Writes the settings file and runs the start-up.
    Player& start() {
        EXPECT_TRUE(SaveSettings(config, iniPath()).ok);
        auto language = std::make_unique<TLanguage>(dir.path(), QStringLiteral("QVMirelta."));
        language->setTerminateRequest([] {});
        EXPECT_TRUE(language->SelectStartLanguage(iniPath(), QStringLiteral("Setting"),
                                                  QStringLiteral("English")));
        PlayerHooks hooks = extraHooks;
        hooks.createStudioLink = [this]() -> std::unique_ptr<StudioSink> {
            return std::make_unique<RecordingStudio>(studio);
        };
        hooks.quit = [this](int code) { quits.push_back(code); };
        player = std::make_unique<Player>(engine, std::move(language), options(), &view, hooks);
        created = player->FormCreate();
        return *player;
    }

    TfrChannelForm& ch(int i) { return player->Channel(i); }

    bool anyPending() {
        for (int i = 0; i < player->ChannelCount(); ++i) {
            if (ch(i).ConnectPending()) {
                return true;
            }
        }
        return false;
    }

    // One main-loop tick 10 ms later. Connect attempts are waited for, and a
    // buffering stream fills at once (with autoFill).
    void tick() {
        FakeClock::advanceMs(10);
        player->NuclearWork();
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (anyPending()) {
            ASSERT_LT(std::chrono::steady_clock::now(), limit) << "a connect attempt never ended";
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            player->NuclearWork();
        }
        if (autoFill) {
            for (int i = 0; i < player->ChannelCount(); ++i) {
                if (ch(i).Status() == ChannelStatus::Buffer && ch(i).Stream() != 0) {
                    engine.setFill(ch(i).Stream(), 170000, 176400);
                }
            }
        }
    }

    // Runs `ms` of fake time; every 20 ms each playing channel gets one block,
    // quiet when it is in `quiet`, else loud.
    void run(int ms) {
        for (int t = 0; t < ms; t += 10) {
            if (t % 20 == 0) {
                for (int i = 0; i < player->ChannelCount(); ++i) {
                    if (ch(i).Status() == ChannelStatus::Play && ch(i).Stream() != 0) {
                        std::vector<std::int16_t> block(1764, quiet.count(i) != 0 ? 0 : 8000);
                        engine.feedDsp(ch(i).Stream(), block);
                    }
                }
            }
            tick();
        }
    }

    // Ticks until every channel in `indexes` plays.
    void untilPlaying(std::initializer_list<int> indexes) {
        for (int round = 0; round < 20; ++round) {
            bool all = true;
            for (int i : indexes) {
                all = all && ch(i).Status() == ChannelStatus::Play;
            }
            if (all) {
                return;
            }
            run(10);
        }
        for (int i : indexes) {
            ASSERT_EQ(ch(i).Status(), ChannelStatus::Play) << "channel " << i;
        }
    }

    std::vector<ChannelStatus> statuses() {
        std::vector<ChannelStatus> out;
        for (int i = 0; i < player->ChannelCount(); ++i) {
            out.push_back(ch(i).Status());
        }
        return out;
    }

    ScopedTickSource m_ticks;
    TempDir dir;
    FakeAudioEngine engine;
    Configuration config;
    RecordingPlayerView view;
    StudioRecord studio;
    PlayerHooks extraHooks;
    QString opener = QStringLiteral("/bin/false");
    bool catchTermination = false;
    bool autoFill = true;
    std::set<int> quiet;  // channels that send silence
    std::vector<int> quits;
    bool created = false;
    std::unique_ptr<Player> player;
};

}  // namespace qvm::test
