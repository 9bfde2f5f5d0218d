#include "core/PlayerApp.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <QUrl>
#include <chrono>

#include "config/SettingsDialog.h"
#include "config/SettingsFile.h"
#include "core/Helpers.h"
#include "lang/Language.h"
#include "studio/StudioLink.h"

namespace qvm {

namespace {

std::int64_t MonotonicMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

PlayerOptions OptionsFor(const QString& exePath) {
    PlayerOptions options;
    options.iniPath = SettingsFilePath(exePath);
    options.exeFolder = AddTrailingBackslash(QFileInfo(exePath).path());
    options.logToStderr = true;
    return options;
}

}  // namespace

PlayerApp::PlayerApp(const QString& exePath, std::unique_ptr<TLanguage> language)
    : m_exePath(exePath),
      m_options(OptionsFor(exePath)),
      m_engine(audio::CreateAudioEngine()),
      m_window(QStringLiteral(QVM_FILE_VERSION)),
      m_view(m_window, language.get()),
      // LADSPA control values live beside the settings, in a file of their
      // own that the host writes when a plug-in's dialog is confirmed.
      m_plugins(m_options.exeFolder + QFileInfo(exePath).fileName() +
                QStringLiteral(".ladspa.ini")) {
    m_window.setLanguage(language.get());
    // A service runs on the offscreen platform: nobody sees the window, so
    // nothing that changes with every tick is drawn.
    const QString platform = QGuiApplication::platformName();
    m_window.setHeadless(platform == QLatin1String("offscreen") ||
                         platform == QLatin1String("minimal"));
    // Plug-ins that open windows of their own need an X11 parent; elsewhere
    // (Wayland, offscreen) there is none to give.
    m_plugins.setParentWindow(QGuiApplication::platformName() == QLatin1String("xcb")
                                  ? reinterpret_cast<void*>(m_window.winId())
                                  : nullptr,
                              &m_window);

    PlayerHooks hooks;
    hooks.dspHost = &m_plugins;
    hooks.showSettingsDialog = [this] { showSettingsDialog(); };
    hooks.closeSettingsDialog = [this] {
        if (m_settingsDialog != nullptr) {
            m_settingsDialog->reject();
        }
    };
    hooks.createStudioLink = [this]() -> std::unique_ptr<StudioSink> {
        QString error;
        auto link = StudioLink::Create(
            *m_player, [this](int count) { m_window.setStudioWindowCount(count); }, {}, &error);
        if (!link) {
            m_player->LogEvent(error);
        }
        return link;
    };
    hooks.activateHttpServer = [this](int port) {
        m_http->Activate(port, m_player->configuration().settings.HTTPAddress);
    };
    hooks.deactivateHttpServer = [this] {
        m_service.stopping();
        m_http->Deactivate();
    };
    hooks.afterTick = [this] {
        m_http->Publish();
        if (m_service.active()) {
            m_service.tick(m_player->Handler() == Player::TimerHandler::NuclearWork,
                           serviceStatus(), MonotonicMs());
        }
    };
    hooks.quit = [this](int code) {
        m_service.stopping();
        m_exitCode = code;
        QCoreApplication::exit(code);
    };
    m_player = std::make_unique<Player>(*m_engine, std::move(language), m_options, &m_view,
                                        std::move(hooks));

    m_http = std::make_unique<HttpRemote>(*m_player, m_player->language(),
                                          QStringLiteral(QVM_FILE_VERSION));

    Player* player = m_player.get();
    QObject::connect(&m_window, &MainWindow::playStopClicked, &m_window,
                     [player] { player->SBPlayStopClick(); });
    QObject::connect(&m_window, &MainWindow::volumeChanged, &m_window,
                     [player](int position) { player->OnVolumeMoved(position); });
    QObject::connect(&m_window, &MainWindow::settingsClicked, &m_window,
                     [player] { player->SBSettingClick(); });
    // The player itself closes without the question when the session ends,
    // on SIGTERM, SIGINT and SIGHUP and when the event loop ends.
    m_window.setCloseHandler([player] { return player->FormClose(); });
}

PlayerApp::~PlayerApp() = default;

const QString& PlayerApp::serviceStatus() {
    const Player& player = *m_player;
    if (player.Handler() != Player::TimerHandler::NuclearWork) {
        static const QString waiting = QStringLiteral("Waiting for the sound device");
        return waiting;
    }
    if (!player.Playing()) {
        static const QString stopped = QStringLiteral("Stopped");
        return stopped;
    }
    const int index = player.OnAirIndex();
    const ChannelList& channels = m_player->configuration().channels;
    if (index < 0 || index >= channels.size()) {
        static const QString none = QStringLiteral("Playing, no channel on air");
        return none;
    }
    // Asked at every tick: the address is parsed again only when the channel
    // on air or its address changes.
    const QString& address = channels.at(index)->URL;
    if (index != m_onAirStatus.index || address != m_onAirStatus.address) {
        // Anyone on the machine may read a service's status: no credentials.
        const QString shown =
            QUrl(address).toDisplayString(QUrl::RemoveUserInfo | QUrl::RemoveQuery);
        m_onAirStatus = {index, address,
                         QStringLiteral("On air: channel %1 (%2)").arg(index + 1).arg(shown)};
    }
    return m_onAirStatus.text;
}

bool PlayerApp::start() {
    if (!m_player->FormCreate()) {
        if (m_exitCode == 0) {
            m_exitCode = 1;
        }
        return false;
    }
    m_window.show();
    return true;
}

void PlayerApp::showSettingsDialog() {
    SettingsDialogContext context{m_player->configuration(), m_player->language()};
    context.plugins = &m_plugins;
    if (const DeviceStartup* device = m_player->Device()) {
        context.deviceNames = device->DeviceNames();
    }
    context.executablePath = m_exePath;
    context.iniPath = m_options.iniPath;
    context.languageChanged = [this] { m_window.Language_Change(); };
    TFSettings dialog(std::move(context), &m_window);
    m_settingsDialog = &dialog;
    dialog.exec();
    m_settingsDialog = nullptr;
}

}  // namespace qvm
