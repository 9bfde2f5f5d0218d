#pragma once

#include <QColor>
#include <QFrame>
#include <QLabel>
#include <memory>

#include "channel/ChannelView.h"

class QGroupBox;
class QProgressBar;
class QSlider;
class QToolButton;

namespace qvm {

class MeterFeed;
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
    ~ChannelPanel() override;

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
    bool presenting() const override { return canShow(); }

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

    // Whether anyone can see the window (not hidden, minimised or headless).
    // What changes with every tick (status, gauge, counters, indicator,
    // meter) is drawn only while the page can be seen; meanwhile the page
    // keeps the latest values and shows them once it is seen again.
    void setPresenting(bool presenting);
    // Draws the meter's waiting levels now (for pictures of the page).
    void flushMeter();

  signals:
    void playClicked();
    void lookClicked();
    void statusDoubleClicked();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

  private:
    enum Part : unsigned { kStatus = 1, kGauge = 2, kCounters = 4, kIndicator = 8 };

    void elideCaption();
    bool canShow() const { return m_presenting && isVisible(); }
    // Draws `parts` now when the page can be seen, else keeps them for later.
    void present(unsigned parts);
    void draw(unsigned parts);

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
    std::unique_ptr<MeterFeed> m_meterFeed;
    int m_playImage = 3;
    int m_lookImage = 0;
    QColor m_indicatorColor = IndicatorBackground();
    double m_indicatorRatio = 0;
    bool m_presenting = true;
    unsigned m_waiting = 0;  // parts not drawn yet
    QString m_statusText;
    QColor m_statusColor;
    int m_gauge = 0;
    QString m_breakTime;
    QString m_playTime;
    QString m_toConnect;
    bool m_toConnectRed = false;
};

}  // namespace qvm
