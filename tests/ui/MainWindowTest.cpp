// The main window on the offscreen platform: what the core's setters show, the
// channel pages and their tabs, and the fixed shape.
#include "ui/MainWindow.h"
#include "ui/MainWindowView.h"

#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QLabel>
#include <QProgressBar>
#include <QProgressDialog>
#include <QSignalSpy>
#include <QSlider>
#include <QSystemTrayIcon>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>

#include "lang/Language.h"
#include "support/TempDir.h"
#include "ui/ChannelPanel.h"
#include "ui/LedMeter.h"
#include "ui/UiTestSupport.h"

namespace qvm {
namespace {

using test::TextColor;

struct Window {
    MainWindow window{QStringLiteral("1.2.3.4")};
    Window() {
        window.show();
        QApplication::processEvents();
    }
    template <class T = QLabel>
    T* child(const char* name) const {
        T* widget = window.findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(widget, nullptr) << name;
        return widget;
    }
    void pages(int n) {
        while (window.channelPageCount() < n) {
            window.addChannelPage();
        }
        while (window.channelPageCount() > n) {
            window.removeLastChannelPage();
        }
        window.labelChannelTabs();
        QApplication::processEvents();
    }
    QStringList tabTexts() const {
        QStringList texts;
        for (int i = 0; i < window.pageControl()->count(); ++i) {
            texts.append(window.pageControl()->tabText(i));
        }
        return texts;
    }
};

QColor WindowText() {
    return QApplication::palette().color(QPalette::WindowText);
}

TEST(MainWindow, IsFixedNarrowAndPutsThePagesBelowTheTopPanel) {
    Window w;
    w.pages(3);
    EXPECT_EQ(w.window.objectName(), QStringLiteral("QV_Mirelta"));
    EXPECT_EQ(w.window.windowTitle(), QStringLiteral("Quellmark Mirelta 1.2.3.4"));
    EXPECT_EQ(w.window.width(), 353);
    EXPECT_EQ(w.window.minimumSize(), w.window.maximumSize());
    const QWidget* pc = w.window.pageControl();
    EXPECT_EQ(pc->mapTo(&w.window, QPoint(0, 0)).y() + 222, w.window.height());
    EXPECT_EQ(w.child<QWidget>("MainPanel")->height(), 117);
    EXPECT_EQ(w.child<QWidget>("Led")->size(), QSize(351, 26));
    EXPECT_EQ(w.child<QWidget>("LabDevice")->height(), 21);

    w.window.shrinkToMainPanel();
    QApplication::processEvents();
    EXPECT_EQ(w.window.height(), 117);
    EXPECT_FALSE(pc->isVisible());
    EXPECT_TRUE(w.child<QWidget>("Led")->isVisible());
}

TEST(MainWindow, AChannelPageFitsItsTabWithNothingSqueezed) {
    // Fonts differ between machines: the page must still hold every control
    // at its design height, one below the other.
    Window w;
    w.pages(1);
    const ChannelPanel* page = w.window.channelPanel(0);
    const char* column[] = {"LabInfoBitrate", "LabStation", "LabTitle",   "Ch_Led", "PanCountDown",
                            "GBuffer",        "LabStatus",  "ImgSilence", "PanMsg"};
    const struct {
        const char* name;
        int height;
    } heights[] = {{"Ch_Led", 24}, {"PanCountDown", 20}, {"LabStatus", 31},
                   {"SBPlay", 31}, {"SBLook", 31},       {"ImgSilence", 12}};
    for (const auto& h : heights) {
        EXPECT_EQ(page->findChild<QWidget*>(QString::fromLatin1(h.name))->height(), h.height)
            << h.name;
    }
    int bottom = 0;
    for (const char* name : column) {
        const QWidget* widget = page->findChild<QWidget*>(QString::fromLatin1(name));
        ASSERT_NE(widget, nullptr) << name;
        const QRect r(widget->mapTo(page, QPoint(0, 0)), widget->size());
        EXPECT_GE(r.top(), bottom) << name << " overlaps the control above it";
        EXPECT_LE(r.bottom(), page->height()) << name << " is cut off";
        bottom = r.bottom() + 1;
    }
}

TEST(MainWindow, TabLabelsDependOnTheNumberOfChannels) {
    const struct {
        int n;
        const char* first;
        const char* last;
        bool equalWidths;
    } cases[] = {
        {1, "Channel 1", "Channel 1", false},
        {5, "Channel 1", "Channel 5", false},
        {6, "Ch. 1", "Ch. 6", false},
        {8, "Ch. 1", "Ch. 8", false},
        {9, "1", "9", true},
        {12, "1", "12", true},
        {4, "Channel 1", "Channel 4", false},
    };
    Window w;
    for (const auto& c : cases) {
        w.pages(c.n);
        const QStringList texts = w.tabTexts();
        ASSERT_EQ(texts.size(), c.n);
        EXPECT_EQ(texts.first(), QString::fromUtf8(c.first)) << c.n;
        EXPECT_EQ(texts.last(), QString::fromUtf8(c.last)) << c.n;
        const QTabBar* bar = w.window.pageControl()->tabBar();
        if (c.equalWidths) {
            const int width = w.window.pageControl()->width() / c.n - 4;
            for (int i = 0; i < c.n; ++i) {
                EXPECT_EQ(bar->tabRect(i).width(), width) << c.n << " tab " << i;
            }
            EXPECT_LE(bar->tabRect(c.n - 1).right(), w.window.pageControl()->width());
        } else {
            EXPECT_GT(bar->tabRect(0).width(), bar->fontMetrics().horizontalAdvance(texts.first()))
                << c.n;
        }
    }
}

TEST(MainWindow, EqualTabsFitAlsoWhenLabelledBeforeTheWindowIsShown) {
    // Start-up builds the pages before the window appears.
    MainWindow window(QStringLiteral("1.0"));
    for (int i = 0; i < 10; ++i) {
        window.addChannelPage();
    }
    window.labelChannelTabs();
    window.show();
    QApplication::processEvents();
    const QTabBar* bar = window.pageControl()->tabBar();
    EXPECT_EQ(bar->tabRect(0).width(), 353 / 10 - 4);
    EXPECT_LE(bar->tabRect(9).right(), window.pageControl()->width());
}

TEST(MainWindow, PagesAreAddedAndTakenAtTheEndKeepingTheirSlots) {
    Window w;
    w.pages(3);
    ChannelPanel* first = w.window.channelPanel(0);
    ChannelPanel* second = w.window.channelPanel(1);
    first->setCaption(QStringLiteral("http://a/"));
    w.pages(2);
    EXPECT_EQ(w.window.channelPageCount(), 2);
    EXPECT_EQ(w.window.pageControl()->count(), 2);
    EXPECT_EQ(w.window.channelPanel(0), first);
    EXPECT_EQ(w.window.channelPanel(1), second);
    EXPECT_EQ(w.window.channelPanel(2), nullptr);
    EXPECT_EQ(first->caption(), QStringLiteral("http://a/"));
    w.pages(4);
    EXPECT_EQ(w.window.channelPanel(0), first);
    EXPECT_EQ(w.window.pageControl()->widget(3), w.window.channelPanel(3));
    w.pages(0);
    EXPECT_EQ(w.window.pageControl()->count(), 0);
    w.window.removeLastChannelPage();  // nothing left to take
    EXPECT_EQ(w.window.channelPageCount(), 0);
}

TEST(MainWindow, CounterHintsComeFromTheLanguage) {
    test::TempDir dir;
    dir.write(QStringLiteral("QVMirelta.Test.lng"),
              "[Constants]\nMSG.LabBreakTime.Hint=Seit Verbindung\nMSG.Channel=Kanal\n");
    TLanguage lang(dir.path());
    ASSERT_TRUE(lang.LoadLanguage(QStringLiteral("Test.lng")));
    Window w;
    w.window.setLanguage(&lang);
    w.pages(2);
    const ChannelPanel* page = w.window.channelPanel(1);
    EXPECT_EQ(page->findChild<QLabel*>(QStringLiteral("LabBreakTime"))->toolTip(),
              QStringLiteral("Seit Verbindung"));
    EXPECT_EQ(page->findChild<QLabel*>(QStringLiteral("LabPlayTime"))->toolTip(),
              QStringLiteral("Playtime"));
    EXPECT_EQ(page->findChild<QWidget*>(QStringLiteral("ImgSilence"))->toolTip(),
              QStringLiteral("Silence and connection detector"));
    EXPECT_EQ(w.tabTexts(), (QStringList{QStringLiteral("Kanal 1"), QStringLiteral("Kanal 2")}));
}

// The stop progress dialog is DLGStop, in the main window's section of the
// language (kind 18: caption from its name, label from Name.Text).
TEST(MainWindow, StopProgressDialogIsTranslated) {
    TLanguage lang(QStringLiteral(QVM_UI_SOURCE_DIR "/lang/"));
    ASSERT_TRUE(lang.LoadLanguage(QStringLiteral("Deutsch.lng")));
    MainWindow window(QStringLiteral("0.1.0.0"));
    window.setLanguage(&lang);
    MainWindowView view(window, &lang);
    view.setStopProgress(50);
    auto* dialog = window.findChild<QProgressDialog*>(QStringLiteral("DLGStop"));
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Programm beenden"));
    EXPECT_EQ(dialog->labelText(), QStringLiteral("Verbindungen werden beendet"));
    EXPECT_EQ(dialog->value(), 50);
    view.setStopProgress(100);
}

TEST(MainWindow, CaptionNamesTheApplication) {
    MainWindow window(QStringLiteral("2.3.4.5"));
    window.applyTitle();
    EXPECT_EQ(QGuiApplication::applicationDisplayName(), window.windowTitle());
    EXPECT_TRUE(window.windowTitle().endsWith(QLatin1String(" 2.3.4.5")));
}

TEST(MainWindow, StudioWindowCountTextsAndColours) {
    const struct {
        int count;
        const char* text;
        QColor color;
    } cases[] = {
        {0, "Off", QColor(Qt::red)}, {1, "On", WindowText()}, {2, "2", WindowText()},
        {3, "3", WindowText()},      {1, "On", WindowText()}, {0, "Off", QColor(Qt::red)},
        {-1, "-1", QColor(Qt::red)},
    };
    Window w;
    QLabel* label = w.child("LabWindows");
    EXPECT_EQ(label->text(), QStringLiteral("Off"));
    EXPECT_EQ(TextColor(label), QColor(Qt::red));
    for (const auto& c : cases) {
        w.window.setStudioWindowCount(c.count);
        EXPECT_EQ(label->text(), QString::fromUtf8(c.text));
        EXPECT_EQ(TextColor(label), c.color) << c.count;
    }
}

TEST(MainWindow, MainStatusShowsOnlineOrSilenceInTheLanguage) {
    test::TempDir dir;
    dir.write(QStringLiteral("QVMirelta.Test.lng"),
              "[Constants]\nMSG.Silence=Stille\nMSG.Online=Online\n"
              "MSG.PlayChannel=Auf Sendung: Kanal\n");
    TLanguage lang(dir.path());
    ASSERT_TRUE(lang.LoadLanguage(QStringLiteral("Test.lng")));
    Window w;
    QLabel* status = w.child("LabMainStatus");
    EXPECT_EQ(status->text(), QStringLiteral("Online"));
    EXPECT_EQ(TextColor(status), WindowText());
    w.window.setLanguage(&lang);
    const struct {
        bool silence;
        const char* text;
        QColor color;
    } cases[] = {{true, "Stille", QColor(Qt::red)}, {false, "Online", WindowText()}};
    for (const auto& c : cases) {
        w.window.setSilenceState(c.silence);
        EXPECT_EQ(status->text(), QString::fromUtf8(c.text));
        EXPECT_EQ(TextColor(status), c.color);
    }
    w.window.setPlaying(true);
    w.window.setOnAirChannel(2);
    EXPECT_EQ(w.child("LabSource")->text(), QStringLiteral("Auf Sendung: Kanal 3"));
}

TEST(MainWindow, InteractiveStripIsShownInInteractiveModeOnly) {
    Window w;
    QWidget* strip = w.child<QWidget>("PanDataControl");
    EXPECT_FALSE(strip->isVisible());
    for (bool interactive : {true, false, true}) {
        w.window.setInteractive(interactive);
        EXPECT_EQ(strip->isVisible(), interactive);
    }
    w.window.setSentTitle(QStringLiteral("Artist - Title"));
    EXPECT_EQ(w.child("LabSendTitle")->text(), QStringLiteral("Artist - Title"));
    // A title of any length stays inside the strip beside the two status labels.
    w.window.setSentTitle(QStringLiteral("A very long title ").repeated(20));
    QApplication::processEvents();
    EXPECT_EQ(w.window.width(), 353);
    EXPECT_LE(w.child("LabWindows")->geometry().right(), strip->width());
    EXPECT_EQ(w.child("LabMainStatus")->width(), 75);
    EXPECT_EQ(w.child("LabWindows")->width(), 31);
}

TEST(MainWindow, TitlesAndDeviceNamesAreShownAsWrittenNeverAsMarkup) {
    Window w;
    const QString markup = QStringLiteral("<font size=7><b>Big</b></font>");
    for (const char* name : {"LabSendTitle", "LabDevice"}) {
        w.window.setSentTitle(markup);
        w.window.setDeviceText(markup);
        QLabel* label = w.child(name);
        EXPECT_GE(label->sizeHint().width(), label->fontMetrics().horizontalAdvance(markup))
            << name;
        EXPECT_LE(label->sizeHint().height(), 3 * label->fontMetrics().height()) << name;
    }
}

TEST(MainWindow, VolumeHintFollowsThePosition) {
    Window w;
    auto* volume = w.child<QSlider>("TBVolume");
    QSignalSpy changes(&w.window, &MainWindow::volumeChanged);
    EXPECT_EQ(volume->value(), 100);
    EXPECT_EQ(volume->toolTip(), QStringLiteral("100%"));
    const struct {
        int set;
        int shown;
        int emitted;
    } cases[] = {{75, 75, 1}, {75, 75, 0}, {0, 0, 1}, {150, 100, 1}, {-5, 0, 1}};
    for (const auto& c : cases) {
        changes.clear();
        w.window.setVolumePosition(c.set);
        EXPECT_EQ(w.window.volumePosition(), c.shown);
        EXPECT_EQ(volume->toolTip(), QString::number(c.shown) + QLatin1Char('%'));
        ASSERT_EQ(changes.count(), c.emitted) << c.set;
        if (c.emitted > 0) {
            EXPECT_EQ(changes.first().first().toInt(), c.shown);
        }
    }
    // Moved by the user: the same signal and hint.
    changes.clear();
    volume->setFocus();
    QTest::keyClick(volume, Qt::Key_Right);
    EXPECT_EQ(changes.count(), 1);
    EXPECT_EQ(volume->toolTip(), QStringLiteral("1%"));
}

TEST(MainWindow, SourceLabelIsHiddenWhileStoppedAndPlayStopSwapsItsImage) {
    Window w;
    QLabel* source = w.child("LabSource");
    auto* playStop = w.child<QToolButton>("SBPlayStop");
    const auto centre = [playStop] {
        const QImage image = playStop->icon().pixmap(24, 24).toImage();
        return image.pixelColor(12, 12);
    };
    EXPECT_FALSE(source->isVisible());
    const QColor stoppedImage = centre();
    const int sourceTop = source->y();

    w.window.setPlaying(true);
    w.window.setOnAirChannel(0);
    EXPECT_TRUE(source->isVisible());
    EXPECT_EQ(source->text(), QStringLiteral("On air: channel 1"));
    EXPECT_NE(centre(), stoppedImage);
    w.window.setOnAirChannel(4);
    EXPECT_EQ(source->text(), QStringLiteral("On air: channel 5"));

    w.window.setPlaying(false);
    QApplication::processEvents();
    EXPECT_FALSE(source->isVisible());
    EXPECT_EQ(centre(), stoppedImage);
    // Hiding the label moves nothing below it.
    EXPECT_EQ(source->y(), sourceTop);

    QSignalSpy clicks(&w.window, &MainWindow::playStopClicked);
    QSignalSpy settings(&w.window, &MainWindow::settingsClicked);
    QTest::mouseClick(playStop, Qt::LeftButton);
    QTest::mouseClick(w.child<QToolButton>("SBSetting"), Qt::LeftButton);
    EXPECT_EQ(clicks.count(), 1);
    EXPECT_EQ(settings.count(), 1);
}

TEST(MainWindow, MinimisingWithoutANotificationAreaKeepsTheWindowReachable) {
    // The offscreen platform has no notification area, as a bare X server
    // has none: hiding the window there would leave no way back to it.
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        GTEST_SKIP() << "this desktop has a notification area";
    }
    for (bool hide : {true, false}) {
        Window w;
        w.window.setHideToTray(hide);
        w.window.setPlaying(true);
        w.window.showMinimized();
        QApplication::processEvents();
        QTest::qWait(20);
        EXPECT_TRUE(w.window.isVisible()) << hide;
        EXPECT_FALSE(w.window.trayIconActive());
        EXPECT_FALSE(w.window.trayIconAnimated());
        w.window.restoreFromTray();
        EXPECT_TRUE(w.window.isVisible());
        EXPECT_FALSE(w.window.isMinimized());
    }
}

// What changes with every tick is drawn only where someone can see it: not on
// a page behind another tab, not while the window is minimised or hidden,
// never headless. Each shows the latest values at once when it is seen again.
TEST(MainWindow, NothingIsDrawnWhereNobodyCanSeeItAndAllOfItOnceSeen) {
    Window w;
    w.pages(2);
    ChannelPanel* back = w.window.channelPanel(1);  // behind the first tab
    auto* backStatus = back->findChild<QLabel*>(QStringLiteral("LabStatus"));
    auto* backGauge = back->findChild<QProgressBar*>(QStringLiteral("GBuffer"));
    ASSERT_NE(backStatus, nullptr);
    ASSERT_NE(backGauge, nullptr);
    const std::uint64_t backSegments = back->led()->SegmentsPainted();
    back->setStatusWord(QStringLiteral("Online"), QColor(0, 128, 0));
    back->setGauge(57);
    back->setLevels(-6, -6);
    back->setCounters(QString(), QStringLiteral("00:00:09"), QString(), false);
    EXPECT_NE(backStatus->text(), QStringLiteral("Online"));
    EXPECT_EQ(backGauge->value(), 0);
    EXPECT_EQ(back->led()->SegmentsPainted(), backSegments);
    w.window.pageControl()->setCurrentIndex(1);
    QApplication::processEvents();
    EXPECT_EQ(backStatus->text(), QStringLiteral("Online"));
    EXPECT_EQ(TextColor(backStatus), QColor(0, 128, 0));
    EXPECT_EQ(backGauge->value(), 57);
    EXPECT_EQ(back->findChild<QLabel*>(QStringLiteral("LabPlayTime"))->text(),
              QStringLiteral("00:00:09"));
    EXPECT_GT(back->led()->SegmentsPainted(), backSegments);
    EXPECT_DOUBLE_EQ(back->led()->LeftVol(), -6);

    // Minimised: the main meter and the page in front wait, then catch up.
    TLedMetter* main = w.window.led();
    w.window.showMinimized();
    QApplication::processEvents();
    ASSERT_TRUE(w.window.isMinimized());
    EXPECT_FALSE(w.window.presenting());
    const std::uint64_t mainSegments = main->SegmentsPainted();
    w.window.setLevels(-3, -3);
    back->setGauge(12);
    EXPECT_EQ(main->SegmentsPainted(), mainSegments);
    EXPECT_EQ(backGauge->value(), 57);
    w.window.restoreFromTray();
    QApplication::processEvents();
    EXPECT_TRUE(w.window.presenting());
    EXPECT_GT(main->SegmentsPainted(), mainSegments);
    EXPECT_DOUBLE_EQ(main->LeftVol(), -3);
    EXPECT_EQ(backGauge->value(), 12);

    // Headless: nothing at all, however long it runs.
    w.window.setHeadless(true);
    EXPECT_FALSE(w.window.presenting());
    const std::uint64_t headlessMain = main->SegmentsPainted();
    const std::uint64_t headlessBack = back->led()->SegmentsPainted();
    for (int i = 0; i < 20; ++i) {
        w.window.setLevels(i % 2 == 0 ? -60 : -1, -30);
        back->setLevels(i % 2 == 0 ? -60 : -1, -30);
        back->setStatusWord(i % 2 == 0 ? QStringLiteral("Buffer") : QStringLiteral("Online"),
                            Qt::black);
        QTest::qWait(5);
    }
    EXPECT_EQ(main->SegmentsPainted(), headlessMain);
    EXPECT_EQ(back->led()->SegmentsPainted(), headlessBack);
    EXPECT_EQ(backStatus->text(), QStringLiteral("Online"));
}

// The meter is drawn at most once a frame, each picture with the highest
// level since the last one: a peak between two frames is not lost.
TEST(MainWindow, MetersAreDrawnOncePerFrameWithThePeakOfTheFrame) {
    Window w;
    TLedMetter* main = w.window.led();
    w.window.setLevels(-30, -30);  // the first is drawn at once
    EXPECT_DOUBLE_EQ(main->LeftVol(), -30);
    w.window.setLevels(-6, -12);
    w.window.setLevels(-40, -40);
    EXPECT_DOUBLE_EQ(main->LeftVol(), -30) << "drawn again within the frame";
    QTest::qWait(100);
    EXPECT_DOUBLE_EQ(main->LeftVol(), -6);
    EXPECT_DOUBLE_EQ(main->RightVol(), -12);
    // A frame later the next levels are drawn as they come.
    w.window.setLevels(-40, -40);
    EXPECT_DOUBLE_EQ(main->LeftVol(), -40);
}

}  // namespace
}  // namespace qvm
