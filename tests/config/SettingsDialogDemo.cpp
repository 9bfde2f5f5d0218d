// Draws each page of the settings dialog over the demo's two channels and
// saves them as pictures, in English and German, for people to look at
// (scripts/screenshot puts them in docs/).
//
//   settings_dialog_demo <output folder> <language folder>
#include <QApplication>
#include <QDir>
#include <QListWidget>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QToolButton>
#include <cstdio>

#include "config/SettingsDialog.h"
#include "dsp/PlugIns.h"
#include "lang/Language.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 3) {
        std::fprintf(stderr, "usage: settings_dialog_demo <output folder> <language folder>\n");
        return 2;
    }
    const QString output = QDir(QString::fromLocal8Bit(argv[1])).absolutePath() + '/';
    const QTemporaryDir scratch;
    qvm::Configuration config;
    config.settings.Device = QStringLiteral("Null output");
    config.settings.SourceMode = 1;
    // The plug-in page over Debian's LADSPA folder, with the limiter chained.
    config.pluginPath = QStringLiteral("/usr/lib/ladspa/");
    for (const auto& [url, always, amp] :
         {std::tuple{"http://127.0.0.1:8000/programme.mp3", true, 0},
          std::tuple{"http://127.0.0.1:8000/backup.mp3", true, -30}}) {
        auto channel = std::make_shared<qvm::ChannelSettings>();
        channel->URL = QString::fromLatin1(url);
        channel->Always = always;
        channel->Amp = static_cast<qint16>(amp);
        config.channels.append(channel);
    }
    int failures = 0;
    for (const char* language : {"English", "Deutsch"}) {
        qvm::QVPlugIns plugins(scratch.path() + QStringLiteral("/QVMirelta.ladspa.ini"));
        qvm::TLanguage lang(QDir(QString::fromLocal8Bit(argv[2])).absolutePath() + '/');
        lang.LoadLanguage(QString::fromLatin1(language) + QStringLiteral(".lng"));
        config.settings.Language = QString::fromLatin1(language);
        qvm::SettingsDialogContext context(config, lang);
        context.deviceNames = {QStringLiteral("default"), QStringLiteral("pulse"),
                               QStringLiteral("Null output")};
        context.executablePath = scratch.path() + QStringLiteral("/QVMirelta");
        context.iniPath = scratch.path() + QStringLiteral("/QVMirelta.ini");
        context.plugins = &plugins;
        qvm::TFSettings dialog(std::move(context));
        dialog.show();
        auto* found = dialog.findChild<QListWidget*>(QStringLiteral("LBPlugin"));
        const QList<QListWidgetItem*> limiter =
            found->findItems(QStringLiteral("fast_lookahead_limiter_1913.so:fastLookaheadLimiter"),
                             Qt::MatchExactly);
        if (!limiter.isEmpty()) {
            found->setCurrentItem(limiter.front());
            found->scrollToItem(limiter.front());
            dialog.findChild<QToolButton*>(QStringLiteral("SBFilterAdd"))->click();
        }
        auto* pages = dialog.findChild<QTabWidget*>(QStringLiteral("PC"));
        for (int i = 0; i < pages->count(); ++i) {
            pages->setCurrentIndex(i);
            QApplication::processEvents();
            const QString file = output + QStringLiteral("settings-%1-%2.png")
                                              .arg(pages->widget(i)->objectName().mid(3).toLower(),
                                                   QString::fromLatin1(language).toLower());
            if (!dialog.grab().save(file)) {
                std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
                ++failures;
            }
        }
    }
    return failures == 0 ? 0 : 1;
}
