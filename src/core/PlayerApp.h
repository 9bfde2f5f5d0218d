#pragma once

#include <QString>
#include <memory>

#include "audio/AudioEngine.h"
#include "core/Player.h"
#include "core/ServiceNotifier.h"
#include "dsp/PlugIns.h"
#include "http/HttpRemote.h"
#include "ui/MainWindow.h"
#include "ui/MainWindowView.h"

namespace qvm {

class TFSettings;
class TLanguage;

// The whole player of one installation, put together: the audio engine, the
// main window and its view, the plug-in host, the player and the settings
// dialog it opens. The installation is the executable at `exePath`: its
// settings file, language files and plug-in settings lie beside it.
//
// UI thread only. The QApplication must exist; the language has its start
// language selected.
class PlayerApp {
  public:
    PlayerApp(const QString& exePath, std::unique_ptr<TLanguage> language);
    ~PlayerApp();
    PlayerApp(const PlayerApp&) = delete;
    PlayerApp& operator=(const PlayerApp&) = delete;

    // Runs the start-up and shows the main window; false when the start-up
    // failed and the program is to end with exitCode().
    bool start();
    // What the player asked the program to end with (0 until it asks).
    int exitCode() const { return m_exitCode; }

    Player& player() { return *m_player; }
    MainWindow& window() { return m_window; }
    HttpRemote& http() { return *m_http; }
    // While the settings dialog is open, that dialog.
    TFSettings* settingsDialog() const { return m_settingsDialog; }

  private:
    void showSettingsDialog();
    // One line for the service manager: what the player does now.
    const QString& serviceStatus();

    const QString m_exePath;
    const PlayerOptions m_options;
    const std::unique_ptr<audio::IAudioEngine> m_engine;
    MainWindow m_window;
    MainWindowView m_view;
    QVPlugIns m_plugins;
    TFSettings* m_settingsDialog = nullptr;
    int m_exitCode = 0;
    ServiceNotifier m_service;
    struct OnAirStatus {
        int index = -1;
        QString address;
        QString text;
    } m_onAirStatus;  // the last "On air" line, with what it was made of
    std::unique_ptr<Player> m_player;
    std::unique_ptr<HttpRemote> m_http;  // goes first: its threads read the player's language
};

}  // namespace qvm
