#pragma once

#include <functional>
#include <memory>

#include <QMainWindow>
#include <QStringList>
#include <vector>

class QLabel;
class QSlider;
class QSystemTrayIcon;
class QTabWidget;
class QTimer;
class QToolButton;
class QWidget;

namespace qvm {

class ChannelPanel;
class ChannelTabs;
class MeterFeed;
class SkinTextTranslator;
class TLanguage;
class TLedMetter;

// The player's one window (TQV_Mirelta's window side): the top panel with the
// device line, the meter of the channel on air, play/stop, volume, settings
// and the source label, the studio-link strip, and one page per channel.
//
// It holds no player logic. The core drives it through the setters below and
// reacts to its signals; each channel's TfrChannelForm draws on its page
// through IChannelView (channelPanel(i)). UI thread only.
//
// Wiring expected from the core:
//   start-up     setLanguage, setVolumePosition, setInteractive, setHideToTray,
//                page building (addChannelPage / removeLastChannelPage /
//                labelChannelTabs), Language_Change at the end
//   device       setDeviceText
//   each tick    setPlaying(Playing), setLevels(...) or setLevels(-90, -90),
//                setOnAirChannel(OnAirIndex) while a channel is on air
//   controller   setSilenceState, setVolumePosition (OnMainFader)
//   studio link  setStudioWindowCount, setSentTitle
//   signals      playStopClicked -> SBPlayStopClick, volumeChanged ->
//                TBVolumeChange, settingsClicked -> SBSettingClick
class MainWindow : public QMainWindow {
    Q_OBJECT
  public:
    explicit MainWindow(const QString& fileVersion, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Where texts come from; not owned, may be null (English defaults).
    void setLanguage(const TLanguage* language);
    // Translates the window from its language section ("QV_Mirelta") and the
    // skinned-controls text table from "Constants". The table feeds Qt's own
    // texts (standard buttons, edit menus) for as long as the window lives.
    void Language_Change();
    // Qt's own texts from the current language (the skinned-controls table).
    void translateSkinTexts();
    // The caption as the application's title and the tray icon's hint.
    void applyTitle();
    const QStringList& skinTexts() const { return m_skinTexts; }

    // LabDevice: the device and its rate, or the error text; empty while the
    // device is missing.
    void setDeviceText(const QString& text);
    TLedMetter* led() const { return m_led; }
    void setLevels(double leftDb, double rightDb);
    // Headless (the offscreen platform of a service): nothing that changes
    // with every tick is drawn, as when the window is hidden or minimised.
    void setHeadless(bool headless);
    // Whether anyone can see the window's pages and meters now.
    bool presenting() const;
    // Play/stop image, LabSource visibility and the tray animation.
    void setPlaying(bool playing);
    bool playing() const { return m_playing; }
    // LabSource: the "PlayChannel" text and the number of the channel on air
    // (`onAirIndex` counted from 0).
    void setOnAirChannel(int onAirIndex);
    // LabSource on its own, for a player that words and shows it itself.
    void setSourceText(const QString& text);
    void setSourceVisible(bool visible);
    // LabMainStatus: "Silence" in red while no channel could take over, else
    // "Online" in the window text colour.
    void setSilenceState(bool silence);
    // LabWindows: "Off" in red for none, "On" for one, the number for more.
    void setStudioWindowCount(int count);
    // LabSendTitle: the title last handed to the studio program.
    void setSentTitle(const QString& title);
    // TBVolume, 0..100; a change of position emits volumeChanged.
    void setVolumePosition(int position);
    int volumePosition() const;
    // PanDataControl is shown in interactive mode only.
    void setInteractive(bool interactive);
    // Minimising hides the window to the notification area (when the desktop
    // has one) instead of the task bar.
    void setHideToTray(bool hide);
    // Whether the notification-area icon is shown (RTIcon active).
    bool trayIconActive() const;
    bool trayIconAnimated() const;

    // The channel pages, index 0 first. Pages are only added or taken from the
    // end, so a slot keeps its page (and the channel drawing on it) while the
    // list still has an entry there. The core closes a channel before it
    // removes its page: the channel holds the page as its view.
    int channelPageCount() const;
    ChannelPanel* channelPanel(int index) const;
    ChannelPanel* addChannelPage();
    void removeLastChannelPage();
    // Tab captions for the number of pages present: "Channel n" up to five,
    // "Ch. n" up to eight, bare numbers on equal tabs from nine.
    void labelChannelTabs();
    QTabWidget* pageControl() const;
    // Shutdown: only the top panel stays while the channels are closed.
    void shrinkToMainPanel();

    // Asked when the window is to close; false keeps it open (the user
    // answered "no" to the exit question).
    void setCloseHandler(std::function<bool()> handler) { m_closeHandler = std::move(handler); }

  public slots:
    // OnRestore, and the tray icon's double click.
    void restoreFromTray();

  signals:
    void playStopClicked();
    void volumeChanged(int position);
    void settingsClicked();

  protected:
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    QString text(const char* group, const char* name, const char* english) const;
    void onMinimize();
    void updatePresenting();
    void updateVolumeHint();
    void updateTrayAnimation();
    void ensureTrayIcon();

    const TLanguage* m_language = nullptr;
    std::function<bool()> m_closeHandler;
    QStringList m_skinTexts;
    SkinTextTranslator* m_skinTranslator = nullptr;
    bool m_playing = false;
    bool m_headless = false;
    std::unique_ptr<MeterFeed> m_meterFeed;
    bool m_hideToTray = false;
    bool m_silence = false;
    int m_studioWindows = 0;

    QWidget* m_mainPanel = nullptr;
    QLabel* m_labDevice = nullptr;
    TLedMetter* m_led = nullptr;
    QToolButton* m_sbPlayStop = nullptr;
    QSlider* m_tbVolume = nullptr;
    QToolButton* m_sbSetting = nullptr;
    QLabel* m_labSource = nullptr;
    QWidget* m_panDataControl = nullptr;
    QLabel* m_labSendTitle = nullptr;
    QLabel* m_labMainStatus = nullptr;
    QLabel* m_labWindows = nullptr;
    ChannelTabs* m_pc = nullptr;
    std::vector<ChannelPanel*> m_panels;
    QSystemTrayIcon* m_trayIcon = nullptr;
    QTimer* m_trayTimer = nullptr;
    int m_trayFrame = 0;
};

}  // namespace qvm
