#pragma once

#include <QColor>

namespace qvm {

// Colours of the channel page's indicator bar.
inline const QColor kIndicatorBackground{162, 175, 203};
inline const QColor kIndicatorRed{255, 0, 0};
inline const QColor kIndicatorYellow{255, 255, 0};
inline const QColor kIndicatorGreen{0, 128, 0};

// The colour `ratio` of the way from `background` to `target`, per component
// truncated and kept within 0..255.
QColor GetGradColor(const QColor& target, const QColor& background, double ratio);

}  // namespace qvm
