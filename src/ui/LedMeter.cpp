#include "ui/LedMeter.h"

#include <QMouseEvent>
#include <QPainter>
#include <cmath>

namespace qvm {

namespace {

constexpr int kRanges[5] = {24, 41, 60, 78, 90};

const QColor kLime(0, 255, 0);
const QColor kGreen(0, 128, 0);
const QColor kYellow(255, 255, 0);
const QColor kOlive(128, 128, 0);
const QColor kRed(255, 0, 0);
const QColor kMaroon(128, 0, 0);
const QColor kWhite(255, 255, 255);

// Nearest integer, halves to the even neighbour.
int RoundEven(double v) {
    return static_cast<int>(std::nearbyint(v));
}

}  // namespace

TLedMetter::TLedMetter(QWidget* parent) : QWidget(parent) {
    setCursor(Qt::PointingHandCursor);
    setAttribute(Qt::WA_OpaquePaintEvent);
    DrawScale();
}

int TLedMetter::Range() const {
    return kRanges[m_status];
}

QColor TLedMetter::Blend(QColor from, QColor to, int step, int steps) {
    if (steps < 1) {
        return from;
    }
    auto mix = [&](int a, int b) {
        return RoundEven(static_cast<double>(b - a) / steps * step + a);
    };
    return QColor(mix(from.red(), to.red()), mix(from.green(), to.green()),
                  mix(from.blue(), to.blue()));
}

QColor TLedMetter::SegmentColor(int k, double value) {
    const bool lit = k <= value;
    if (k < -14) {
        return lit ? kLime : kGreen;
    }
    if (k <= -8) {
        return lit ? Blend(kLime, kYellow, k + 15, 7) : Blend(kGreen, kOlive, k + 15, 7);
    }
    if (k <= -6) {
        return lit ? kYellow : kOlive;
    }
    if (k <= -1) {
        return lit ? Blend(kYellow, kRed, k + 5, 4) : Blend(kOlive, kMaroon, k + 5, 4);
    }
    if (!lit) {
        return kMaroon;
    }
    return value > 0.29 ? kWhite : kRed;
}

void TLedMetter::SetStatus(int status) {
    if (status >= m_maxStatus) {
        status = m_maxStatus - 1;
    }
    m_status = static_cast<std::uint8_t>(std::max(status, 0));
    DrawScale();
}

void TLedMetter::SetMaxStatus(int maxStatus) {
    maxStatus = std::clamp(maxStatus, 1, 5);
    m_maxStatus = static_cast<std::uint8_t>(maxStatus);
    if (m_status >= m_maxStatus) {
        SetStatus(m_maxStatus - 1);
    }
}

void TLedMetter::DrawScale() {
    for (auto& bar : m_painted) {
        bar.fill(0);
    }
    const QSize size = this->size();
    if (m_picture.size() != size) {
        m_picture = QImage(size.expandedTo(QSize(1, 1)), QImage::Format_RGB32);
    }
    m_picture.fill(Qt::black);
    const int range = Range();
    const double u = static_cast<double>(width()) / (range + 1);
    const int mid = height() / 2 - 6;
    {
        QPainter p(&m_picture);
        QFont font = p.font();
        font.setPixelSize(10);
        p.setFont(font);
        const int ascent = p.fontMetrics().ascent();
        auto text = [&](double x, const QString& s, const QColor& c) {
            p.setPen(c);
            p.drawText(RoundEven(x), mid + ascent, s);
        };
        text(0, QString::number(-range), kLime);
        if (range > 50) {
            text((range - 41) * u, QStringLiteral("-41"), kLime);
        }
        text((range - 20) * u, QStringLiteral("-20"), kLime);
        text((range - 12) * u, QStringLiteral("-12"), kLime);
        text((range - 2) * u, QStringLiteral("-3"), kRed);
    }
    SetLevels(-90.3, -90.3);
    update();
}

void TLedMetter::SetLevels(double left, double right) {
    if (m_picture.size() != size().expandedTo(QSize(1, 1))) {
        // Resized while hidden: the resize event comes only when shown.
        DrawScale();
    }
    m_leftVol = left;
    m_rightVol = right;
    const std::uint64_t before = m_segmentsPainted;
    const int mid = height() / 2 - 6;
    paintBar(0, 1, left + 0.3);
    paintBar(1, mid + 12, right + 0.3);
    if (m_segmentsPainted != before) {
        update();
    }
}

void TLedMetter::paintBar(int bar, int top, double value) {
    const int range = Range();
    const double u = static_cast<double>(width()) / (range + 1);
    const int mid = height() / 2 - 6;
    QPainter* painter = nullptr;
    QPainter p;
    for (int k = -range; k <= 0; ++k) {
        const QRgb color = SegmentColor(k, value).rgb();
        QRgb& memory = m_painted[static_cast<std::size_t>(bar)][static_cast<std::size_t>(-k)];
        if (memory == color) {
            continue;
        }
        if (painter == nullptr) {
            p.begin(&m_picture);
            painter = &p;
        }
        const int x1 = RoundEven((k + range) * u);
        const int x2 = RoundEven((k + range + 1) * u);
        // One dark column at the left of every segment.
        painter->fillRect(x1 + 1, top, x2 - x1 - 1, mid, QColor::fromRgb(color));
        memory = color;
        ++m_segmentsPainted;
    }
}

void TLedMetter::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.drawImage(0, 0, m_picture);
}

void TLedMetter::resizeEvent(QResizeEvent*) {
    DrawScale();
}

void TLedMetter::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        return;
    }
    int next = m_status + 1;
    if (next >= m_maxStatus) {
        next = 0;
    }
    m_status = static_cast<std::uint8_t>(next);
    DrawScale();
}

}  // namespace qvm
