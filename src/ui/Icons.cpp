#include "ui/Icons.h"

#include <QPainter>
#include <QPainterPath>
#include <cmath>

namespace qvm {

namespace {

const QColor kOnAir(214, 40, 40);
const QColor kReady(40, 150, 60);
const QColor kIdle(70, 90, 130);
const QColor kDisabled(165, 165, 165);

QPixmap Canvas(int w, int h) {
    QPixmap pixmap(w, h);
    pixmap.fill(Qt::transparent);
    return pixmap;
}

QPainterPath Triangle(QRectF r) {
    QPainterPath path;
    path.moveTo(r.left(), r.top());
    path.lineTo(r.right(), r.center().y());
    path.lineTo(r.left(), r.bottom());
    path.closeSubpath();
    return path;
}

}  // namespace

QPixmap PlayStopListImage(int index) {
    QPixmap pixmap = Canvas(20, 24);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    switch (index) {
        case 0: {  // headphones: listen to a spare channel
            QPen pen(kIdle, 2.2);
            p.setPen(pen);
            p.setBrush(Qt::NoBrush);
            p.drawArc(QRectF(3, 4, 14, 14), 0, 180 * 16);
            p.setPen(Qt::NoPen);
            p.setBrush(kIdle);
            p.drawRoundedRect(QRectF(2, 11, 4, 8), 1.5, 1.5);
            p.drawRoundedRect(QRectF(14, 11, 4, 8), 1.5, 1.5);
            break;
        }
        case 1: {  // running: a lit dot with a stop square
            p.setPen(Qt::NoPen);
            p.setBrush(kReady);
            p.drawEllipse(QRectF(1, 3, 18, 18));
            p.setBrush(Qt::white);
            p.drawRect(QRectF(6.5, 8.5, 7, 7));
            break;
        }
        case 2:  // put on air
            p.setPen(Qt::NoPen);
            p.setBrush(kOnAir);
            p.drawPath(Triangle(QRectF(4, 4, 13, 16)));
            break;
        default: {  // disabled
            p.setPen(Qt::NoPen);
            p.setBrush(kDisabled);
            p.drawPath(Triangle(QRectF(4, 4, 13, 16)));
            break;
        }
    }
    return pixmap;
}

QPixmap MainPlayStopImage(int index) {
    QPixmap pixmap = Canvas(24, 24);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    if (index == 0) {
        p.setBrush(kReady);
        p.drawPath(Triangle(QRectF(5, 3, 16, 18)));
    } else {
        p.setBrush(kOnAir);
        p.drawRoundedRect(QRectF(4, 4, 16, 16), 2, 2);
    }
    return pixmap;
}

QPixmap SettingsImage() {
    QPixmap pixmap = Canvas(24, 24);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(90, 90, 100));
    p.translate(12, 12);
    for (int tooth = 0; tooth < 8; ++tooth) {
        p.drawRect(QRectF(-2, -10.5, 4, 5));
        p.rotate(45);
    }
    p.drawEllipse(QPointF(0, 0), 7.5, 7.5);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(0, 0), 3, 3);
    return pixmap;
}

QIcon TrayIconFrame(int frame) {
    QPixmap pixmap = Canvas(32, 32);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor body = frame == 0 ? kIdle : kOnAir;
    p.setPen(Qt::NoPen);
    p.setBrush(body);
    p.drawEllipse(QPointF(16, 16), 5, 5);
    // Waves around the mast: the still icon shows them all in grey, the
    // animation lights one more ring per frame.
    for (int ring = 1; ring <= 3; ++ring) {
        const bool lit = frame == 0 || ring <= frame;
        QPen pen(lit ? body : kDisabled, 2.4);
        pen.setCapStyle(Qt::RoundCap);
        p.setPen(pen);
        const double r = 5 + ring * 3.6;
        const QRectF box(16 - r, 16 - r, 2 * r, 2 * r);
        p.drawArc(box, -45 * 16, 90 * 16);
        p.drawArc(box, 135 * 16, 90 * 16);
    }
    return QIcon(pixmap);
}

}  // namespace qvm
