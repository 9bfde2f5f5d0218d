#pragma once

#include <QPointer>
#include <QProgressDialog>
#include <memory>

#include "core/PlayerView.h"
#include "lang/MessagePresenter.h"

namespace qvm {

class MainWindow;
class TLanguage;

// The player's view drawn on the main window: what the player tells it goes
// to the window's controls, questions go to message boxes in the current
// language, and the stop progress to a small modal dialog.
class MainWindowView final : public IPlayerView {
  public:
    MainWindowView(MainWindow& window, const TLanguage* language);
    ~MainWindowView() override;

    void setDeviceText(const QString& text) override;
    void setLevels(double leftDb, double rightDb) override;
    void showPlayState(bool playing) override;
    void setSourceVisible(bool visible) override;
    void setSourceText(const QString& text) override;
    void setSilenceState(bool silence) override;
    void setVolumePosition(int position) override;
    void setSentTitle(const QString& title) override;
    void setInteractive(bool interactive) override;
    IChannelView* addChannelPage() override;
    void removeLastChannelPage() override;
    void labelChannelTabs() override;
    void showChannelPage(int index) override;
    void setStopProgress(int percent) override;
    void closeStopProgress() override;
    MessagePresenter& messagePresenter() override { return m_presenter; }
    void setHideToTray(bool hide) override;
    void minimizeToTray() override;
    void Language_Change() override;
    void translateSkinTexts() override;
    void applyTitle() override;
    void shrinkToMainPanel() override;

  private:
    MainWindow& m_window;
    QtMessagePresenter m_presenter;
    QPointer<QProgressDialog> m_progress;
};

}  // namespace qvm
