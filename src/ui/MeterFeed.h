#pragma once

#include <QElapsedTimer>
#include <QTimer>

namespace qvm {

class TLedMetter;

// Feeds a level meter at the pace the eye needs rather than the main loop's
// hundred ticks a second: at most one picture per frame, each showing the
// highest level since the last one, so no peak is lost. While the meter
// cannot be seen nothing is drawn; the last levels wait for it.
// UI thread only.
class MeterFeed {
  public:
    static constexpr int kFrameMs = 40;

    explicit MeterFeed(TLedMetter* meter);

    void setLevels(double leftDb, double rightDb);
    // Whether anyone can see the meter; once they can, the waiting levels are
    // drawn at once.
    void setPresenting(bool presenting);
    bool presenting() const { return m_presenting; }
    // Draws what is waiting now (for pictures of the window).
    void flush();

  private:
    TLedMetter* m_meter;
    bool m_presenting = true;
    bool m_waiting = false;
    double m_left = 0;
    double m_right = 0;
    QElapsedTimer m_lastFrame;
    QTimer m_due;
};

}  // namespace qvm
