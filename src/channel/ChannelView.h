#pragma once

#include <QColor>
#include <QString>

namespace qvm {

// What a channel shows on its page. The channel logic calls these on the UI
// thread from its tick and its operations; the page (a Qt widget) draws them,
// and tests record them. Every call carries the complete new value.
class IChannelView {
  public:
    virtual ~IChannelView() = default;

    virtual void setCaption(const QString& url) = 0;
    virtual void setStatusWord(const QString& text, const QColor& color) = 0;
    virtual void setGauge(int percent) = 0;
    virtual void setInfoLines(const QString& bitrateLine, const QString& station,
                              const QString& title) = 0;
    virtual void setLevels(double leftDb, double rightDb) = 0;
    // Counters; `toConnectRed` while a reconnect is pending, else window text colour.
    virtual void setCounters(const QString& breakTime, const QString& playTime,
                             const QString& toConnect, bool toConnectRed) = 0;
    virtual void setVolumeSlider(int position) = 0;
    // The indicator bar: background, then `color` (already graded) over the
    // left `ratio` of its width; ratio 0 shows the background only.
    virtual void setIndicator(const QColor& color, double ratio) = 0;
    virtual void setMessage(const QString& text) = 0;
    // Play button: enabled shows image 2, disabled image 3.
    virtual void showPlayButton(bool enabled) = 0;
    // Look button image 0..3; enabled exactly when the image is not 3.
    virtual void showLookButton(int image) = 0;
    // Whether anyone can see the page now. While not, the channel leaves out
    // what it would draw with every tick (meter, counters, indicator) and
    // shows it again from the next tick on.
    virtual bool presenting() const { return true; }
};

// A view that shows nothing (headless channels, tests that do not look).
class NullChannelView final : public IChannelView {
  public:
    void setCaption(const QString&) override {}
    void setStatusWord(const QString&, const QColor&) override {}
    void setGauge(int) override {}
    void setInfoLines(const QString&, const QString&, const QString&) override {}
    void setLevels(double, double) override {}
    void setCounters(const QString&, const QString&, const QString&, bool) override {}
    void setVolumeSlider(int) override {}
    void setIndicator(const QColor&, double) override {}
    void setMessage(const QString&) override {}
    void showPlayButton(bool) override {}
    void showLookButton(int) override {}
    bool presenting() const override { return false; }
};

}  // namespace qvm
