// The channel page as the channel logic drives it through IChannelView, drawn
// by real widgets on the offscreen platform.
#include "ui/ChannelPanel.h"

#include <gtest/gtest.h>

#include <QGroupBox>
#include <QProgressBar>
#include <QSignalSpy>
#include <QSlider>
#include <QTest>
#include <QToolButton>

#include "channel/ChannelDisplay.h"
#include "ui/LedMeter.h"
#include "ui/UiTestSupport.h"

namespace qvm {
namespace {

using test::Shows;
using test::TextColor;

// A page at its size in the window, shown so that it lays itself out.
struct Page {
    ChannelPanel panel;
    Page() {
        panel.resize(349, 194);
        panel.show();
        QApplication::processEvents();
    }
    template <class T>
    T* child(const char* name) const {
        T* widget = panel.findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    QLabel* label(const char* name) const { return child<QLabel>(name); }
    QImage picture(const char* name) const { return child<QWidget>(name)->grab().toImage(); }
};

TEST(ChannelPanel, AFreshPageShowsAStoppedChannel) {
    Page page;
    EXPECT_EQ(page.label("LabStatus")->text(), QStringLiteral("Stop"));
    EXPECT_EQ(TextColor(page.label("LabStatus")), QColor(Qt::black));
    EXPECT_EQ(page.child<QProgressBar>("GBuffer")->value(), 0);
    for (const char* name : {"LabInfoBitrate", "LabStation", "LabTitle", "LabBreakTime",
                             "LabPlayTime", "LabToConnect", "PanMsg"}) {
        EXPECT_TRUE(page.label(name)->text().isEmpty()) << name;
    }
    const QImage bar = page.picture("ImgSilence");
    ASSERT_FALSE(bar.isNull());
    EXPECT_EQ(bar.pixelColor(0, 6), ChannelPanel::IndicatorBackground());
    EXPECT_EQ(bar.pixelColor(bar.width() - 1, 6), ChannelPanel::IndicatorBackground());
    EXPECT_EQ(page.panel.lookImage(), 0);
    EXPECT_FALSE(page.child<QSlider>("TBVol")->isEnabled());
    // The meter starts empty at -90.3 dB.
    EXPECT_DOUBLE_EQ(page.panel.led()->LeftVol(), -90.3);
    EXPECT_DOUBLE_EQ(page.panel.led()->RightVol(), -90.3);
}

TEST(ChannelPanel, ShowsEveryStatusWordInItsColourAndTheGauge) {
    const struct {
        const char* word;
        QColor color;
        int gauge;
        int shownGauge;
    } cases[] = {
        {"Stop", QColor(0, 0, 0), 0, 0},           {"Connect", QColor(128, 128, 0), 0, 0},
        {"Buffer", QColor(128, 128, 0), 37, 37},   {"Online", QColor(0, 128, 0), 100, 100},
        {"Silence", QColor(128, 128, 0), 88, 88},  {"Error", QColor(255, 0, 0), 0, 0},
        {"Puffer", QColor(128, 128, 0), 140, 100}, {"Fehler", QColor(255, 0, 0), -3, 0},
    };
    Page page;
    IChannelView& view = page.panel;
    for (const auto& c : cases) {
        view.setStatusWord(QString::fromUtf8(c.word), c.color);
        view.setGauge(c.gauge);
        QLabel* status = page.label("LabStatus");
        EXPECT_EQ(status->text(), QString::fromUtf8(c.word));
        EXPECT_EQ(TextColor(status), c.color) << c.word;
        EXPECT_TRUE(Shows(status->grab().toImage(), c.color)) << c.word << " is not drawn";
        EXPECT_EQ(page.child<QProgressBar>("GBuffer")->value(), c.shownGauge) << c.word;
    }
}

TEST(ChannelPanel, CountersAndTheReconnectColour) {
    Page page;
    IChannelView& view = page.panel;
    const QColor windowText = page.panel.palette().color(QPalette::WindowText);
    const struct {
        const char* breakTime;
        const char* playTime;
        const char* toConnect;
        bool red;
        QColor toConnectColor;
    } cases[] = {
        {"00:00:03", "", "-00:04.3", true, QColor(255, 0, 0)},
        {"", "01:02:03", "1 02:00:00", false, windowText},
        {"", "", "", false, windowText},
    };
    for (const auto& c : cases) {
        view.setCounters(QString::fromUtf8(c.breakTime), QString::fromUtf8(c.playTime),
                         QString::fromUtf8(c.toConnect), c.red);
        EXPECT_EQ(page.label("LabBreakTime")->text(), QString::fromUtf8(c.breakTime));
        EXPECT_EQ(page.label("LabPlayTime")->text(), QString::fromUtf8(c.playTime));
        EXPECT_EQ(page.label("LabToConnect")->text(), QString::fromUtf8(c.toConnect));
        EXPECT_EQ(TextColor(page.label("LabToConnect")), c.toConnectColor) << c.toConnect;
        // The time since a connection problem began is always red.
        EXPECT_EQ(TextColor(page.label("LabBreakTime")), QColor(255, 0, 0));
    }
    // The longest countdown fits its 84 px box in full.
    view.setCounters(QString(), QString(), QStringLiteral("9 23:59:59"), false);
    QLabel* toConnect = page.label("LabToConnect");
    EXPECT_LE(toConnect->fontMetrics().horizontalAdvance(toConnect->text()),
              toConnect->contentsRect().width());
}

TEST(ChannelPanel, CounterStripKeepsTheDesignProportionsAtAnyWidth) {
    Page page;
    for (int width : {349, 500, 260}) {
        page.panel.resize(width, 194);
        QApplication::processEvents();
        const QWidget* strip = page.child<QWidget>("PanCountDown");
        const QRect breakTime = page.label("LabBreakTime")->geometry();
        const QRect playTime = page.label("LabPlayTime")->geometry();
        const QRect toConnect = page.label("LabToConnect")->geometry();
        EXPECT_EQ(toConnect.width(), 84);
        EXPECT_EQ(toConnect.left() + 84 + 2, strip->width()) << width;
        EXPECT_EQ(breakTime.left(), 0);
        EXPECT_EQ(breakTime.width(), toConnect.left() / 2 - 8) << width;
        EXPECT_EQ(playTime.left(), breakTime.left() + breakTime.width() + 2) << width;
        EXPECT_EQ(playTime.left() + playTime.width(), toConnect.left() - 2) << width;
    }
}

TEST(ChannelPanel, IndicatorBarFillsTheGradedColourOverItsShareOfTheWidth) {
    Page page;
    IChannelView& view = page.panel;
    const QColor background = ChannelPanel::IndicatorBackground();
    const struct {
        QColor color;
        double ratio;
    } cases[] = {
        {GetGradColor(kIndicatorRed, kIndicatorBackground, 1.0), 1.0},
        {GetGradColor(kIndicatorRed, kIndicatorBackground, 0.5), 0.5},
        {GetGradColor(kIndicatorYellow, kIndicatorBackground, 0.25), 0.25},
        {GetGradColor(kIndicatorGreen, kIndicatorBackground, 0.8), 0.8},
        {background, 0.0},
    };
    EXPECT_EQ(cases[1].color, QColor(208, 87, 101));
    for (const auto& c : cases) {
        view.setIndicator(c.color, c.ratio);
        const QImage bar = page.picture("ImgSilence");
        const int filled = static_cast<int>(bar.width() * c.ratio);
        for (int x = 0; x < bar.width(); ++x) {
            const QColor expected = x < filled ? c.color : background;
            ASSERT_EQ(bar.pixelColor(x, bar.height() / 2), expected)
                << "x " << x << " at ratio " << c.ratio;
        }
    }
}

TEST(ChannelPanel, ButtonsFollowTheirImagesAndReportClicks) {
    Page page;
    IChannelView& view = page.panel;
    auto* play = page.child<QToolButton>("SBPlay");
    auto* look = page.child<QToolButton>("SBLook");
    QSignalSpy plays(&page.panel, &ChannelPanel::playClicked);
    QSignalSpy looks(&page.panel, &ChannelPanel::lookClicked);

    const struct {
        bool playEnabled;
        int lookImage;
        int playClicks;
        int lookClicks;
    } cases[] = {
        {true, 0, 1, 1},
        {true, 1, 1, 1},
        {false, 3, 0, 0},
        {false, 2, 0, 1},
    };
    for (const auto& c : cases) {
        plays.clear();
        looks.clear();
        view.showPlayButton(c.playEnabled);
        view.showLookButton(c.lookImage);
        EXPECT_EQ(page.panel.playImage(), c.playEnabled ? 2 : 3);
        EXPECT_EQ(play->isEnabled(), c.playEnabled);
        EXPECT_EQ(page.panel.lookImage(), c.lookImage);
        EXPECT_EQ(look->isEnabled(), c.lookImage != 3);
        QTest::mouseClick(play, Qt::LeftButton);
        QTest::mouseClick(look, Qt::LeftButton);
        EXPECT_EQ(plays.count(), c.playClicks) << c.lookImage;
        EXPECT_EQ(looks.count(), c.lookClicks) << c.lookImage;
    }

    QSignalSpy doubleClicks(&page.panel, &ChannelPanel::statusDoubleClicked);
    QTest::mouseDClick(page.label("LabStatus"), Qt::LeftButton);
    EXPECT_EQ(doubleClicks.count(), 1);
}

TEST(ChannelPanel, LongTextsAreCutInsteadOfWideningThePage) {
    Page page;
    IChannelView& view = page.panel;
    const QString longText = QStringLiteral("Artist with a very long name - ").repeated(12);
    const QString longUrl =
        QStringLiteral("http://stream.example.org:8000/") + QStringLiteral("x").repeated(240);
    view.setCaption(longUrl);
    view.setInfoLines(longText, longText, longText);
    view.setMessage(longText);
    QApplication::processEvents();
    EXPECT_LE(page.panel.minimumSizeHint().width(), 349);
    EXPECT_EQ(page.panel.caption(), longUrl);
    const QString title = page.child<QGroupBox>("PanChannel")->title();
    EXPECT_TRUE(title.contains(QChar(0x2026))) << title.toStdString();
    EXPECT_LE(page.child<QGroupBox>("PanChannel")->fontMetrics().horizontalAdvance(title),
              page.child<QGroupBox>("PanChannel")->width());
    EXPECT_EQ(page.child<ElidedLabel>("LabTitle")->fullText(), longText);

    // A title is shown as written, never as markup: the whole tag text is
    // drawn, so it needs more room than the word inside it.
    const QString markup = QStringLiteral("<b>X</b>");
    view.setInfoLines(QString(), QString(), markup);
    QLabel* titleLabel = page.label("LabTitle");
    QLabel reference;
    reference.setFont(titleLabel->font());
    reference.setText(markup);  // what automatic markup detection would show
    EXPECT_GT(titleLabel->QLabel::sizeHint().width(), reference.sizeHint().width());
    // A short address is shown whole.
    view.setCaption(QStringLiteral("http://127.0.0.1:8000/a.mp3"));
    EXPECT_EQ(page.child<QGroupBox>("PanChannel")->title(),
              QStringLiteral("http://127.0.0.1:8000/a.mp3"));
    // An ampersand of a query is shown as one, not taken for a shortcut mark.
    view.setCaption(QStringLiteral("http://a/s?x=1&y=2"));
    EXPECT_EQ(page.child<QGroupBox>("PanChannel")->title(), QStringLiteral("http://a/s?x=1&&y=2"));
    EXPECT_EQ(page.panel.caption(), QStringLiteral("http://a/s?x=1&y=2"));
}

TEST(ChannelPanel, LevelsAndVolumeReachTheirControls) {
    Page page;
    IChannelView& view = page.panel;
    view.setLevels(-6.0, -20.0);
    EXPECT_DOUBLE_EQ(page.panel.led()->LeftVol(), -6.0);
    EXPECT_DOUBLE_EQ(page.panel.led()->RightVol(), -20.0);
    view.setVolumeSlider(42);
    EXPECT_EQ(page.child<QSlider>("TBVol")->value(), 42);
    view.setInfoLines(QStringLiteral("128 kbit/s"), QStringLiteral("Station"),
                      QStringLiteral("Title"));
    EXPECT_EQ(page.label("LabInfoBitrate")->text(), QStringLiteral("128 kbit/s"));
    EXPECT_EQ(page.label("LabStation")->text(), QStringLiteral("Station"));
    EXPECT_EQ(page.label("LabTitle")->text(), QStringLiteral("Title"));
    view.setMessage(QStringLiteral("-1 False"));
    EXPECT_EQ(page.label("PanMsg")->text(), QStringLiteral("-1 False"));
}

}  // namespace
}  // namespace qvm
