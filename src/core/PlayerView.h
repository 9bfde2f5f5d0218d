#pragma once

#include <QString>

#include "lang/MessagePresenter.h"

namespace qvm {

class IChannelView;

// What the player shows in its window. The player calls these on the UI thread
// with the complete new value; the window (a thin Qt view) draws them, tests
// record them. Texts that are fixed parts of the window (captions, hints, the
// "Online"/"Silence" words, tab labels) are the view's own.
class IPlayerView {
  public:
    virtual ~IPlayerView() = default;

    // LabDevice: the device and its rate, or the error text.
    virtual void setDeviceText(const QString& text) = 0;
    // Led: the levels of the channel on air in dB (-90 on both sides: none).
    virtual void setLevels(double leftDb, double rightDb) = 0;
    // Play/stop button image and tray animation.
    virtual void showPlayState(bool playing) = 0;
    // LabSource: visible while playing; the text names the channel on air.
    virtual void setSourceVisible(bool visible) = 0;
    virtual void setSourceText(const QString& text) = 0;
    // LabMainStatus: "Silence" in red while no channel could take over from a
    // failed channel on air, else "Online" in the normal colour.
    virtual void setSilenceState(bool silence) = 0;
    // TBVolume, 0..100. Setting the position the player already knows must
    // not report a move back.
    virtual void setVolumePosition(int position) = 0;
    // LabSendTitle: the title last handed to the studio program.
    virtual void setSentTitle(const QString& title) = 0;
    // PanDataControl, shown in interactive mode only.
    virtual void setInteractive(bool interactive) = 0;

    // Channel pages, added and removed at the end only. The player destroys a
    // page's channel before it removes the page. A null view: the channel
    // shows nothing.
    virtual IChannelView* addChannelPage() = 0;
    virtual void removeLastChannelPage() = 0;
    virtual void labelChannelTabs() = 0;
    // Brings the page of a channel to the front.
    virtual void showChannelPage(int index) = 0;

    // DLGStop while the channels are stopped: shown at `percent`, closed at 100.
    virtual void setStopProgress(int percent) = 0;
    virtual void closeStopProgress() = 0;

    // The exit question and the fatal error box.
    virtual MessagePresenter& messagePresenter() = 0;

    // Minimising hides to the notification area (the Hide setting).
    virtual void setHideToTray(bool hide) = 0;
    // Start-up with Hide: start minimised to the notification area.
    virtual void minimizeToTray() = 0;
    // Translates the window into the current language.
    virtual void Language_Change() = 0;
    // Start-up: Qt's own texts (message-box buttons, edit menus, file
    // dialogs) in the current language, before any of them is shown.
    virtual void translateSkinTexts() = 0;
    // Start-up: the caption (with the version) becomes the application's
    // title and the tray icon's hint.
    virtual void applyTitle() = 0;
    // Shutdown: only the top panel stays while the channels are closed.
    virtual void shrinkToMainPanel() = 0;
};

// Answers every question with its affirmative button, without showing it.
class AffirmativePresenter final : public MessagePresenter {
  public:
    MessageAnswer present(const QString&, MessageKind, MessageButtons buttons) override {
        return buttons == MessageButtons::YesNo ? MessageAnswer::Yes : MessageAnswer::Ok;
    }
};

// A player without a window (headless relays, tests that do not look): shows
// nothing and answers the exit question with yes.
class NullPlayerView final : public IPlayerView {
  public:
    void setDeviceText(const QString&) override {}
    void setLevels(double, double) override {}
    void showPlayState(bool) override {}
    void setSourceVisible(bool) override {}
    void setSourceText(const QString&) override {}
    void setSilenceState(bool) override {}
    void setVolumePosition(int) override {}
    void setSentTitle(const QString&) override {}
    void setInteractive(bool) override {}
    IChannelView* addChannelPage() override { return nullptr; }
    void removeLastChannelPage() override {}
    void labelChannelTabs() override {}
    void showChannelPage(int) override {}
    void setStopProgress(int) override {}
    void closeStopProgress() override {}
    MessagePresenter& messagePresenter() override { return m_presenter; }
    void setHideToTray(bool) override {}
    void minimizeToTray() override {}
    void Language_Change() override {}
    void translateSkinTexts() override {}
    void applyTitle() override {}
    void shrinkToMainPanel() override {}

  private:
    AffirmativePresenter m_presenter;
};

}  // namespace qvm
