#pragma once

#include <QIcon>
#include <QPixmap>

namespace qvm {

// The player's pictures, drawn in code so that no artwork has to be shipped.
// UI thread only (they paint on QPixmap).

// The channel page's button images (the play and look buttons):
// 0 look, channel stopped (press to connect it);
// 1 look, channel running (press to stop it);
// 2 put on air, enabled;
// 3 disabled.
QPixmap PlayStopListImage(int index);
// The main play/stop button: 0 while stopped (play), 1 while playing (stop).
QPixmap MainPlayStopImage(int index);
QPixmap SettingsImage();
// Notification-area icon: frame 0 is the still icon, frames 1..kTrayFrames - 1
// the animation shown while playing.
inline constexpr int kTrayFrames = 4;
QIcon TrayIconFrame(int frame);

}  // namespace qvm
