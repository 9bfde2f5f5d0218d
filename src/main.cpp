#include <QApplication>
#include <QFileInfo>
#include <memory>

#include "config/SettingsFile.h"
#include "core/Helpers.h"
#include "core/SingleInstance.h"
#include "lang/Language.h"
#include "ui/MainWindow.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QString exePath = qvm::ExecutablePath();

    // A second copy started from the same place brings the first one forward
    // and leaves: two players on one sound device and one studio link would
    // fight over both.
    if (const auto other = qvm::FindOtherInstance(exePath)) {
        qvm::InstanceEndpoint::AskToRestore(*other);
        return 0;
    }

    const QString folder = qvm::ExecutableFolder();
    const QString iniPath = qvm::SettingsFilePath(exePath);
    auto language = std::make_unique<qvm::TLanguage>(
        folder, QFileInfo(exePath).fileName() + QLatin1Char('.'));
    // Without any language file the user has been told and the program ends.
    language->setTerminateRequest([] {});
    if (!language->SelectStartLanguage(iniPath, QStringLiteral("Setting"),
                                       QStringLiteral("English"))) {
        return 1;
    }

    qvm::Configuration config;
    qvm::LoadSettings(config, iniPath, folder);

    qvm::InstanceEndpoint endpoint;
    qvm::MainWindow window(QStringLiteral(QVM_FILE_VERSION));
    QObject::connect(&endpoint, &qvm::InstanceEndpoint::restoreRequested, &window, [&window] {
        window.showNormal();
        window.raise();
        window.activateWindow();
    });
    window.show();
    return QApplication::exec();
}
