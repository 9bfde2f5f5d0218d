#include <malloc.h>

#include <QApplication>
#include <QFileInfo>
#include <memory>

#include "audio/AudioEngine.h"
#include "config/SettingsDialog.h"
#include "config/SettingsFile.h"
#include "core/Helpers.h"
#include "core/Player.h"
#include "core/SingleInstance.h"
#include "core/TsanSuppressions.h"
#include "dsp/PlugIns.h"
#include "lang/Language.h"
#include "ui/MainWindow.h"
#include "ui/MainWindowView.h"

#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
    return qvm::TsanSuppressions();
}
#endif

int main(int argc, char** argv) {
    // Every stream's ring and FFmpeg's buffers are large blocks allocated and
    // freed with each connection. With glibc's sliding mmap threshold they
    // soon come from the heap and leave it fragmented, and the player's
    // resident memory ratchets up for the first hour of faults; a fixed
    // threshold hands them back to the system when they are freed.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    QApplication app(argc, argv);
    const QString exePath = qvm::ExecutablePath();

    // A second copy of the same installation brings the first one forward
    // and leaves: two players on one sound device, one settings file and one
    // studio link would fight over all three. The first copy may itself be
    // starting, its endpoint not yet listening: it is given a few seconds.
    const std::unique_ptr<qvm::InstanceLock> instanceLock =
        qvm::InstanceLock::Acquire(exePath, nullptr);
    if (!instanceLock) {
        qvm::InstanceEndpoint::AskToRestoreWhenReady(
            [&exePath] { return qvm::InstanceLock::Holder(exePath); }, 3000);
        return 0;
    }
    qvm::InstanceEndpoint endpoint;

    const QString folder = qvm::ExecutableFolder();
    qvm::PlayerOptions options;
    options.iniPath = qvm::SettingsFilePath(exePath);
    options.exeFolder = folder;

    auto language =
        std::make_unique<qvm::TLanguage>(folder, QFileInfo(exePath).fileName() + QLatin1Char('.'));
    // Without any language file the user has been told and the program ends.
    language->setTerminateRequest([] {});
    if (!language->SelectStartLanguage(options.iniPath, QStringLiteral("Setting"),
                                       QStringLiteral("English"))) {
        return 1;
    }
    const qvm::TLanguage* lang = language.get();

    const std::unique_ptr<qvm::audio::IAudioEngine> engine = qvm::audio::CreateAudioEngine();
    qvm::MainWindow window(QStringLiteral(QVM_FILE_VERSION));
    window.setLanguage(lang);
    qvm::MainWindowView view(window, lang);

    // LADSPA control values live beside the settings, in a file of their own
    // that the host writes when a plug-in's dialog is confirmed.
    qvm::QVPlugIns plugins(folder + QFileInfo(exePath).fileName() + QStringLiteral(".ladspa.ini"));
    // Plug-ins that open windows of their own need an X11 parent; elsewhere
    // (Wayland, offscreen) there is none to give.
    plugins.setParentWindow(QGuiApplication::platformName() == QLatin1String("xcb")
                                ? reinterpret_cast<void*>(window.winId())
                                : nullptr,
                            &window);

    int exitCode = 0;
    qvm::Player* running = nullptr;
    qvm::TFSettings* settingsDialog = nullptr;  // while it is open
    qvm::PlayerHooks hooks;
    hooks.dspHost = &plugins;
    hooks.showSettingsDialog = [&] {
        qvm::SettingsDialogContext context{running->configuration(), running->language()};
        context.plugins = &plugins;
        if (const qvm::DeviceStartup* device = running->Device()) {
            context.deviceNames = device->DeviceNames();
        }
        context.executablePath = exePath;
        context.iniPath = options.iniPath;
        context.languageChanged = [&window] { window.Language_Change(); };
        qvm::TFSettings dialog(std::move(context), &window);
        settingsDialog = &dialog;
        dialog.exec();
        settingsDialog = nullptr;
    };
    hooks.closeSettingsDialog = [&settingsDialog] {
        if (settingsDialog != nullptr) {
            settingsDialog->reject();
        }
    };
    hooks.quit = [&exitCode](int code) {
        exitCode = code;
        QCoreApplication::exit(code);
    };
    qvm::Player player(*engine, std::move(language), options, &view, std::move(hooks));
    running = &player;

    QObject::connect(&window, &qvm::MainWindow::playStopClicked, &window,
                     [&player] { player.SBPlayStopClick(); });
    QObject::connect(&window, &qvm::MainWindow::volumeChanged, &window,
                     [&player](int position) { player.OnVolumeMoved(position); });
    QObject::connect(&window, &qvm::MainWindow::settingsClicked, &window,
                     [&player] { player.SBSettingClick(); });
    QObject::connect(&endpoint, &qvm::InstanceEndpoint::restoreRequested, &window,
                     [&window] { window.restoreFromTray(); });
    // The player itself closes without the question when the session ends,
    // on SIGTERM, SIGINT and SIGHUP and when the event loop ends.
    window.setCloseHandler([&player] { return player.FormClose(); });

    if (!player.FormCreate()) {
        return exitCode != 0 ? exitCode : 1;
    }
    window.show();
    return QApplication::exec();
}
