#pragma once

#include <QMainWindow>

namespace qvm {

// The player's one window. Its controls arrive with the player itself; for now
// it carries the caption and the fixed narrow shape.
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(const QString& fileVersion, QWidget* parent = nullptr);
};

}  // namespace qvm
