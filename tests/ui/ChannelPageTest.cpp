// The channel logic drawing on a real page: what the operator sees as the
// channel goes through its states, and the page's buttons reaching the
// channel. Scripted engine and fake time, as in the channel's own tests.
#include <QLabel>
#include <QProgressBar>
#include <QTest>
#include <QToolButton>

#include "channel/ChannelHarness.h"
#include "ui/ChannelPanel.h"

namespace qvm::test {
namespace {

FakeAudioEngine::OpenScript Failing(std::int32_t code) {
    FakeAudioEngine::OpenScript s;
    s.error = code;
    return s;
}

class ChannelPage : public ChannelHarness {
  protected:
    // The channel draws on its page until it is gone: it goes first.
    ~ChannelPage() override { channels.clear(); }

    ChannelPanel panel;

    // The channel with `panel` as its page, its clicks wired as the main
    // window wires them.
    TfrChannelForm& makeShown(bool always = false) {
        ChannelSettings data;
        data.URL = QStringLiteral("http://radio.invalid/live");
        data.Always = always;
        channels.push_back(std::make_unique<TfrChannelForm>(*ctx, 0, &panel));
        TfrChannelForm& ch = *channels.back();
        ch.SetData(data);
        ch.OnPressPlay = [this](int i) { events.push_back({"PressPlay", i, 0}); };
        QObject::connect(&panel, &ChannelPanel::playClicked, [&ch] { ch.SBPlayClick(); });
        QObject::connect(&panel, &ChannelPanel::lookClicked, [&ch] { ch.SBLookClick(); });
        QObject::connect(&panel, &ChannelPanel::statusDoubleClicked,
                         [&ch] { ch.LabStatusDblClick(); });
        panel.resize(349, 194);
        panel.show();
        return ch;
    }
    QLabel* label(const char* name) const {
        return panel.findChild<QLabel*>(QString::fromLatin1(name));
    }
    QString text(const char* name) const { return label(name)->text(); }
    QColor color(const char* name) const {
        return label(name)->palette().color(QPalette::WindowText);
    }
    int gauge() const { return panel.findChild<QProgressBar*>(QStringLiteral("GBuffer"))->value(); }
    QToolButton* button(const char* name) const {
        return panel.findChild<QToolButton*>(QString::fromLatin1(name));
    }
};

TEST_F(ChannelPage, ShowsTheChannelThroughStopErrorAndPlay) {
    TfrChannelForm& ch = makeShown();
    tickAll();
    EXPECT_EQ(panel.caption(), QStringLiteral("http://radio.invalid/live"));
    EXPECT_EQ(text("LabStatus"), QStringLiteral("Stop"));
    EXPECT_EQ(color("LabStatus"), QColor(0, 0, 0));
    EXPECT_EQ(gauge(), 0);
    EXPECT_TRUE(text("LabPlayTime").isEmpty() && text("LabToConnect").isEmpty());

    // A stopped channel has no stream to move.
    QTest::mouseDClick(label("LabStatus"), Qt::LeftButton);
    EXPECT_EQ(text("PanMsg"), QStringLiteral("-1 False"));

    engine.scriptOpen(Failing(audio::kErrTimeout));
    ch.Play();
    tickAll();
    settle();
    run(10);
    ASSERT_EQ(ch.Status(), ChannelStatus::Error);
    EXPECT_EQ(text("LabStatus"), QStringLiteral("Error"));
    EXPECT_EQ(color("LabStatus"), QColor(255, 0, 0));
    EXPECT_TRUE(text("LabToConnect").startsWith(QLatin1Char('-')))
        << text("LabToConnect").toStdString();
    EXPECT_EQ(color("LabToConnect"), QColor(255, 0, 0));
    EXPECT_FALSE(text("LabBreakTime").isEmpty());
    EXPECT_EQ(text("PanMsg"), ch.Message());
    EXPECT_GT(panel.indicatorRatio(), 0.0) << "a lost connection builds up red";

    ch.Stop();
    tickAll();
    EXPECT_EQ(text("LabStatus"), QStringLiteral("Stop"));
    EXPECT_EQ(color("LabStatus"), QColor(0, 0, 0));
    EXPECT_TRUE(text("LabToConnect").isEmpty() && text("LabBreakTime").isEmpty());
    EXPECT_EQ(panel.indicatorRatio(), 0.0);

    startPlaying(ch);
    run(1000);
    EXPECT_EQ(text("LabStatus"), QStringLiteral("Online"));
    EXPECT_EQ(color("LabStatus"), QColor(0, 128, 0));
    EXPECT_EQ(gauge(), 95);
    EXPECT_EQ(text("LabPlayTime"), QStringLiteral("00:00:01"));
    EXPECT_EQ(text("PanMsg"), QStringLiteral("Online"));
}

TEST_F(ChannelPage, ButtonsReachTheChannel) {
    TfrChannelForm& ch = makeShown();
    ch.ShowPlayButton(true);
    QTest::mouseClick(button("SBPlay"), Qt::LeftButton);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].name, "PressPlay");

    // Nothing on air: the look button is locked.
    ctx->onAirIndex = -1;
    ch.ShowLookButton();
    EXPECT_FALSE(button("SBLook")->isEnabled());
    QTest::mouseClick(button("SBLook"), Qt::LeftButton);
    EXPECT_EQ(ch.Status(), ChannelStatus::Stop);

    // Another channel on air: look starts this one as a spare, and stops it.
    ctx->onAirIndex = 1;
    ch.ShowLookButton();
    EXPECT_EQ(panel.lookImage(), 0);
    QTest::mouseClick(button("SBLook"), Qt::LeftButton);
    EXPECT_EQ(ch.Status(), ChannelStatus::Connect);
    EXPECT_EQ(panel.lookImage(), 1);
    settle();
    QTest::mouseClick(button("SBLook"), Qt::LeftButton);
    EXPECT_EQ(ch.Status(), ChannelStatus::Stop);
    EXPECT_EQ(panel.lookImage(), 0);
}

}  // namespace
}  // namespace qvm::test
