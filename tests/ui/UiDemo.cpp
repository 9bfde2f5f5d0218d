// Shows the main window with three channel pages (one on air, one in error,
// one stopped), fed through the same interfaces the player uses, and saves a
// picture of the window with each page selected, side by side.
//
//   ui_demo <output.png> [language folder]
#include <QApplication>
#include <QDir>
#include <QPainter>
#include <QTabWidget>
#include <QTimer>
#include <cstdio>

#include "channel/ChannelDisplay.h"
#include "core/DurationFormat.h"
#include "lang/Language.h"
#include "lang/LanguageKeys.h"
#include "ui/ChannelPanel.h"
#include "ui/MainWindow.h"

using namespace qvm;

namespace {

void OnAir(IChannelView& view, const TLanguage& lang) {
    view.setCaption(QStringLiteral("http://127.0.0.1:8000/live.mp3"));
    view.setStatusWord(lang.Text(keys::msg::Online), QColor(0, 128, 0));
    view.setGauge(96);
    view.setInfoLines(
        QStringLiteral("128 kbit/s, 44100 Hz, Stereo"), QStringLiteral("Radio Quellmark One"),
        QStringLiteral("The Artists - A Rather Long Song Title (Extended Radio Edit)"));
    view.setLevels(-7.5, -9.2);
    // Playing for 1 h 23 min; a planned restart due in a day and two hours.
    view.setCounters(QString(), FormatSeconds(0, 5025), FormatDays(0, 1 + 2.0 / 24), false);
    view.setVolumeSlider(100);
    view.setIndicator(GetGradColor(kIndicatorYellow, kIndicatorBackground, 0.35), 0.35);
    view.setMessage(lang.Text(keys::msg::Online));
    view.showPlayButton(false);
    view.showLookButton(3);
}

void InError(IChannelView& view, const TLanguage& lang) {
    view.setCaption(QStringLiteral("http://backup.example.net:8000/stream"));
    view.setStatusWord(lang.Text(keys::msg::Error), QColor(255, 0, 0));
    view.setGauge(0);
    view.setInfoLines(QString(), QString(), QString());
    view.setLevels(-100, -100);
    view.setCounters(FormatSeconds(0, 7), QString(), FormatSeconds(6, -4.3), true);
    view.setVolumeSlider(0);
    view.setIndicator(GetGradColor(kIndicatorRed, kIndicatorBackground, 0.7), 0.7);
    view.setMessage(lang.Text(keys::error::TIMEOUT));
    view.showPlayButton(true);
    view.showLookButton(1);
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: ui_demo <output.png> [language folder]\n");
        return 2;
    }
    const QString output = QString::fromLocal8Bit(argv[1]);
    TLanguage lang(argc > 2 ? QDir(QString::fromLocal8Bit(argv[2])).absolutePath() + '/'
                            : QString());
    lang.LoadLanguage(QStringLiteral("English.lng"));

    MainWindow window(QStringLiteral("0.1.0.0"));
    window.setLanguage(&lang);
    window.setInteractive(true);
    window.setDeviceText(QStringLiteral("Null output (48000)"));
    window.setVolumePosition(80);
    for (int i = 0; i < 3; ++i) {
        window.addChannelPage();
    }
    window.labelChannelTabs();
    OnAir(*window.channelPanel(0), lang);
    InError(*window.channelPanel(1), lang);
    window.channelPanel(2)->setCaption(QStringLiteral("https://spare.example.org/hls/index.m3u8"));
    window.channelPanel(2)->showPlayButton(true);
    window.setPlaying(true);
    window.setOnAirChannel(0);
    window.setLevels(-7.5, -9.2);
    window.setStudioWindowCount(1);
    window.setSentTitle(QStringLiteral("The Artists - A Rather Long Song Title"));
    window.Language_Change();
    window.show();

    QTimer::singleShot(700, &app, [&] {
        if (qEnvironmentVariableIsSet("QVM_DEMO_GEOMETRY")) {
            for (QWidget* w : window.findChildren<QWidget*>()) {
                if (!w->objectName().isEmpty() && w->isVisible()) {
                    const QRect r(w->mapTo(&window, QPoint(0, 0)), w->size());
                    std::printf("%-16s %4d %4d %4d %4d\n", qPrintable(w->objectName()), r.x(),
                                r.y(), r.width(), r.height());
                }
            }
        }
        window.setLevels(-7.5, -9.2);
        window.channelPanel(0)->setLevels(-7.5, -9.2);
        QList<QPixmap> shots;
        for (int page = 0; page < 3; ++page) {
            window.pageControl()->setCurrentIndex(page);
            QApplication::processEvents();
            shots.append(window.grab());
        }
        const int gap = 8;
        QImage sheet(shots[0].width() * 3 + gap * 2, shots[0].height(), QImage::Format_RGB32);
        sheet.fill(Qt::white);
        QPainter p(&sheet);
        for (int i = 0; i < shots.size(); ++i) {
            p.drawPixmap(i * (shots[0].width() + gap), 0, shots[i]);
        }
        p.end();
        const bool saved = sheet.save(output);
        std::printf("%s %dx%d window %dx%d\n", saved ? "saved" : "FAILED to save", sheet.width(),
                    sheet.height(), window.width(), window.height());
        QApplication::exit(saved ? 0 : 1);
    });
    return QApplication::exec();
}
