#pragma once

#include <QColor>
#include <QImage>
#include <QLabel>
#include <QString>
#include <ostream>

inline void PrintTo(const QString& text, std::ostream* os) {
    *os << '"' << text.toStdString() << '"';
}
inline void PrintTo(const QColor& color, std::ostream* os) {
    *os << color.name().toStdString();
}

namespace qvm::test {

// The colour the label writes its text in.
inline QColor TextColor(const QWidget* widget) {
    return widget->palette().color(QPalette::WindowText);
}

// Whether a rendered picture holds pixels of exactly this colour, as text
// drawn in it does (anti-aliasing leaves the inner pixels pure).
inline bool Shows(const QImage& picture, const QColor& color) {
    for (int y = 0; y < picture.height(); ++y) {
        for (int x = 0; x < picture.width(); ++x) {
            if (picture.pixelColor(x, y).rgb() == color.rgb()) {
                return true;
            }
        }
    }
    return false;
}

}  // namespace qvm::test
