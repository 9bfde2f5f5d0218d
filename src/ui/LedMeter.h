#pragma once

#include <QColor>
#include <QImage>
#include <QWidget>
#include <array>
#include <cstdint>

namespace qvm {

// Two horizontal LED bars (left above, right below) with a dB scale between
// them. Each segment is 1 dB from the bottom of the range up to 0 dB; a click
// cycles through up to five ranges. The meter keeps the colour it last painted
// in every segment and repaints only segments whose colour changes, so a steady
// level costs no drawing at 100 updates a second. UI thread only.
class TLedMetter : public QWidget {
    Q_OBJECT
  public:
    explicit TLedMetter(QWidget* parent = nullptr);

    void DrawScale();
    void SetLevels(double left, double right);

    std::uint8_t Status() const { return m_status; }
    void SetStatus(int status);
    std::uint8_t MaxStatus() const { return m_maxStatus; }
    void SetMaxStatus(int maxStatus);
    double LeftVol() const { return m_leftVol; }
    void SetLeftVol(double v) { SetLevels(v, m_rightVol); }
    double RightVol() const { return m_rightVol; }
    void SetRightVol(double v) { SetLevels(m_leftVol, v); }

    // The range shown, in dB below full scale.
    int Range() const;
    // What the user sees.
    const QImage& Picture() const { return m_picture; }
    // Segments painted since creation (the cost of SetLevels).
    std::uint64_t SegmentsPainted() const { return m_segmentsPainted; }
    // The colour a segment of `k` dB gets on a bar whose value is `value`.
    static QColor SegmentColor(int k, double value);
    static QColor Blend(QColor from, QColor to, int step, int steps);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

  private:
    void paintBar(int bar, int top, double value);

    std::uint8_t m_status = 0;
    std::uint8_t m_maxStatus = 3;
    double m_leftVol = -90.3;
    double m_rightVol = -90.3;
    QImage m_picture;
    // Per bar, indexed by -k for the segment of k dB; 0 = nothing painted.
    std::array<std::array<QRgb, 93>, 2> m_painted{};
    std::uint64_t m_segmentsPainted = 0;
};

}  // namespace qvm
