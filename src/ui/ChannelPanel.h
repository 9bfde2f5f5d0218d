#pragma once

#include <QColor>
#include <QFrame>
#include <QLabel>

#include "channel/ChannelView.h"

class QGroupBox;
class QProgressBar;
class QSlider;
class QToolButton;

namespace qvm {

class TLedMetter;

// A label that shows its whole text when it fits and cuts it with an ellipsis
// when it does not, so that a long stream title or message never widens the
// fixed-size window. text() keeps the whole text.
class ElidedLabel : public QLabel {
    Q_OBJECT
  public:
    explicit ElidedLabel(QWidget* parent = nullptr);
    void setFullText(const QString& text);
    const QString& fullText() const { return m_fullText; }
    QSize minimumSizeHint() const override;
    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QString m_fullText;
};

// The page of one channel (TfrChannelForm's window side). It holds no state of
// its own: the channel logic computes every value and hands it over through
// IChannelView; the user's clicks leave as signals for the core to route to the
// channel (SBPlayClick, SBLookClick, LabStatusDblClick). UI thread only.
//
// Controls keep the names of the design (LabStatus, GBuffer, Ch_Led, ...), so
// they can be found by name.
class ChannelPanel : public QFrame, public IChannelView {
    Q_OBJECT
  public:
    explicit ChannelPanel(QWidget* parent = nullptr);

    // IChannelView
    void setCaption(const QString& url) override;
    void setStatusWord(const QString& text, const QColor& color) override;
    void setGauge(int percent) override;
    void setInfoLines(const QString& bitrateLine, const QString& station,
                      const QString& title) override;
    void setLevels(double leftDb, double rightDb) override;
    void setCounters(const QString& breakTime, const QString& playTime, const QString& toConnect,
                     bool toConnectRed) override;
    void setVolumeSlider(int position) override;
    void setIndicator(const QColor& color, double ratio) override;
    void setMessage(const QString& text) override;
    void showPlayButton(bool enabled) override;
    void showLookButton(int image) override;

    // The hints of the three counters and of the indicator bar; the main
    // window sets them from the language when it creates the page.
    void setHints(const QString& breakTime, const QString& playTime, const QString& toConnect,
                  const QString& indicator);

    // What the page shows.
    QString caption() const { return m_url; }
    int playImage() const { return m_playImage; }
    int lookImage() const { return m_lookImage; }
    QColor indicatorColor() const { return m_indicatorColor; }
    double indicatorRatio() const { return m_indicatorRatio; }
    TLedMetter* led() const { return m_led; }

    static QColor IndicatorBackground() { return {162, 175, 203}; }

  signals:
    void playClicked();
    void lookClicked();
    void statusDoubleClicked();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    void elideCaption();

    QString m_url;
    QGroupBox* m_panChannel = nullptr;
    ElidedLabel* m_labInfoBitrate = nullptr;
    ElidedLabel* m_labStation = nullptr;
    ElidedLabel* m_labTitle = nullptr;
    TLedMetter* m_led = nullptr;
    QLabel* m_labBreakTime = nullptr;
    QLabel* m_labPlayTime = nullptr;
    QLabel* m_labToConnect = nullptr;
    QSlider* m_tbVol = nullptr;
    QProgressBar* m_gBuffer = nullptr;
    QToolButton* m_sbLook = nullptr;
    QLabel* m_labStatus = nullptr;
    QToolButton* m_sbPlay = nullptr;
    QWidget* m_imgSilence = nullptr;
    ElidedLabel* m_panMsg = nullptr;
    int m_playImage = 3;
    int m_lookImage = 0;
    QColor m_indicatorColor = IndicatorBackground();
    double m_indicatorRatio = 0;
};

}  // namespace qvm
