#pragma once

#include <gtest/gtest.h>

#include <QColor>
#include <QDateTime>
#include <QFile>
#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "channel/Channel.h"
#include "channel/ChannelContext.h"
#include "channel/ChannelView.h"
#include "config/Settings.h"
#include "core/EventLog.h"
#include "core/TimeBase.h"
#include "lang/Language.h"
#include "support/FakeAudioEngine.h"
#include "support/FakeClock.h"
#include "support/TempDir.h"

// Readable failure messages.
inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QColor& color, std::ostream* os) {
    *os << "rgb(" << color.red() << ", " << color.green() << ", " << color.blue() << ")";
}

namespace qvm::test {

// Remembers what a channel showed last, and every status word and message.
class RecordingView final : public IChannelView {
  public:
    void setCaption(const QString& url) override { caption = url; }
    void setStatusWord(const QString& text, const QColor& color) override {
        statusWord = text;
        statusColor = color;
        statusWords.push_back(text);
    }
    void setGauge(int percent) override { gauge = percent; }
    void setInfoLines(const QString& b, const QString& s, const QString& t) override {
        bitrateLine = b;
        station = s;
        title = t;
    }
    void setLevels(double l, double r) override {
        left = l;
        right = r;
        ++levelCalls;
    }
    void setCounters(const QString& b, const QString& p, const QString& t, bool red) override {
        ++counterCalls;
        breakTime = b;
        playTime = p;
        toConnect = t;
        toConnectRed = red;
    }
    void setVolumeSlider(int position) override { slider = position; }
    void setIndicator(const QColor& color, double ratio) override {
        indicatorColor = color;
        indicatorRatio = ratio;
    }
    void setMessage(const QString& text) override {
        message = text;
        messages.push_back(text);
    }
    void showPlayButton(bool enabled) override { playEnabled = enabled; }
    void showLookButton(int image) override { lookImage = image; }
    bool presenting() const override { return shown; }

    bool shown = true;  // whether anyone can see the page
    int levelCalls = 0, counterCalls = 0;
    QString caption, statusWord, bitrateLine, station, title, breakTime, playTime, toConnect,
        message;
    QColor statusColor, indicatorColor;
    std::vector<QString> statusWords, messages;
    int gauge = -1, slider = -1, lookImage = -1;
    double left = 0, right = 0, indicatorRatio = -1;
    bool toConnectRed = false, playEnabled = false;
};

// One event raised by a channel.
struct ChannelEvent {
    std::string name;  // "PlayChild", "StopChild", "Online", "PressPlay"
    int index;
    std::uint8_t inChild;
    bool operator==(const ChannelEvent&) const = default;
};

// A channel on the scripted engine with fake time: the tick source and the
// wall clock are FakeClock, so every timer is exact. Connect attempts still
// run on real threads; settle() waits for them in real time.
class ChannelHarness : public ::testing::Test {
  protected:
    ChannelHarness()
        : m_ticks(&FakeClock::Tick32),
          language(qEnvironmentVariable("QVM_SOURCE_DIR") + QStringLiteral("/lang/"),
                   QStringLiteral("QVMirelta.")),
          log(dir.path()) {
        // The channel's texts as the station reads them: the shipped English file.
        EXPECT_TRUE(language.LoadLanguage(QStringLiteral("English.lng")));
        FakeClock::tick = 1000;
        FakeClock::wallDays = 20000.5;
        settings.Buffer = 1.0;
        settings.SilenceTime = 2.0;
        settings.RestoreTime = 1.0;
        settings.BreakTime = 10.0;
        settings.ConnectTime = 30.0;
        settings.ChFadeOut = 0.0;
        log.setEnabled(true);
        ctx = std::make_unique<ChannelContext>(engine, settings, language, &log);
        ctx->wallClock = &FakeClock::WallDays;
        ctx->mainFaderValue = [this] { return mainFader; };
    }

    // Makes channel `index` (several channels share the context).
    TfrChannelForm& make(int index = 0, ChannelSettings data = {}) {
        if (data.URL.isEmpty()) {
            data.URL = QStringLiteral("http://radio.invalid/live");
        }
        views.push_back(std::make_unique<RecordingView>());
        channels.push_back(std::make_unique<TfrChannelForm>(*ctx, index, views.back().get()));
        TfrChannelForm& ch = *channels.back();
        ch.SetData(data);
        const auto record = [this, &ch](const char* name) {
            return [this, &ch, name](int i) { events.push_back({name, i, ch.InChild()}); };
        };
        ch.OnPlayChild = record("PlayChild");
        ch.OnStopChild = record("StopChild");
        ch.OnOnline = record("Online");
        ch.OnPressPlay = record("PressPlay");
        return ch;
    }

    std::int64_t now() const { return static_cast<std::int64_t>(TickCount64()); }

    void tickAll() {
        for (auto& ch : channels) {
            ch->Tick(now());
        }
    }

    bool anyPending() const {
        for (const auto& ch : channels) {
            if (ch->ConnectPending()) {
                return true;
            }
        }
        return false;
    }

    // Runs the main loop for `ms` of fake time in 10 ms ticks. A connect
    // attempt takes no fake time: the loop waits for it before going on.
    void run(int ms) {
        for (int t = 0; t < ms; t += 10) {
            FakeClock::advanceMs(10);
            tickAll();
            if (anyPending()) {
                settle();
            }
        }
    }

    // Runs until `done` holds, at most `ms`; the fake time it took, or -1.
    template <typename Pred>
    std::int64_t runUntil(Pred done, int ms) {
        const std::int64_t start = now();
        for (int t = 0; t < ms; t += 10) {
            if (done()) {
                return now() - start;
            }
            run(10);
        }
        return done() ? now() - start : -1;
    }

    // Waits in real time (up to 5 s) for something a connect thread does.
    static bool waitReal(const std::function<bool()>& done) {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!done() && std::chrono::steady_clock::now() < limit) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return done();
    }

    // Ticks at the present fake time until no connect attempt is pending.
    void settle() {
        const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            tickAll();
            if (!anyPending()) {
                return;
            }
            ASSERT_LT(std::chrono::steady_clock::now(), limit) << "a connect attempt never ended";
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    // Play, the attempt, and buffering to `fill` percent: the channel plays.
    void startPlaying(TfrChannelForm& ch, std::int64_t fill = 95) {
        ch.Play();
        tickAll();  // starts the attempt
        settle();   // Buffer
        ASSERT_EQ(ch.Status(), ChannelStatus::Buffer);
        engine.setFill(ch.Stream(), fill * 1764, 176400);
        tickAll();
        ASSERT_EQ(ch.Status(), ChannelStatus::Play);
    }

    std::vector<std::string> eventNames() const {
        std::vector<std::string> out;
        for (const auto& e : events) {
            out.push_back(e.name);
        }
        return out;
    }

    QStringList logLines() const {
        QFile f(log.pathFor(QDateTime::currentDateTime()));
        if (!f.open(QIODevice::ReadOnly)) {
            return {};
        }
        QStringList lines;
        for (const QByteArray& line : f.readAll().split('\n')) {
            if (!line.trimmed().isEmpty()) {
                // Drop the time of day in front.
                const QString text = QString::fromUtf8(line).trimmed();
                lines << text.mid(text.indexOf(QLatin1Char(' ')) + 1);
            }
        }
        return lines;
    }

    ScopedTickSource m_ticks;
    TempDir dir;
    FakeAudioEngine engine;
    PlayerSettings settings;
    TLanguage language;
    EventLog log;
    double mainFader = 0;
    std::unique_ptr<ChannelContext> ctx;
    std::vector<std::unique_ptr<RecordingView>> views;
    std::vector<std::unique_ptr<TfrChannelForm>> channels;
    std::vector<ChannelEvent> events;
};

}  // namespace qvm::test
