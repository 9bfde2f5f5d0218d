// Draws the generic LADSPA dialog of the limiter from swh-plugins and saves
// it as a picture, for docs/plugins.md (scripts/screenshot).
#include <QApplication>
#include <QDir>
#include <cstdio>

#include "dsp/Ladspa.h"
#include "dsp/LadspaDialog.h"
#include "dsp/PlugIns.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: ladspa_dialog_demo OUTPUT.png\n");
        return 2;
    }
    QApplication app(argc, argv);
    qvm::QVPlugIns host;
    host.InitPlugins();
    const QString name = QStringLiteral("fast_lookahead_limiter_1913.so:fastLookaheadLimiter");
    if (!host.LoadPlugin(QDir::currentPath(), name)) {
        std::fprintf(stderr, "cannot load %s: %s\n", qPrintable(name),
                     qPrintable(host.Loaded().front()->Error));
        return 1;
    }
    host.Loaded().front()->Ladspa->setValue(1, -3.0f);
    qvm::LadspaDialog dialog(*host.Loaded().front()->Ladspa, name);
    dialog.show();
    QApplication::processEvents();
    return dialog.grab().save(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
}
