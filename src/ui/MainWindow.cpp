#include "ui/MainWindow.h"

namespace qvm {

MainWindow::MainWindow(const QString& fileVersion, QWidget* parent) : QMainWindow(parent) {
    setObjectName(QStringLiteral("QV_Mirelta"));
    setWindowTitle(QStringLiteral("Quellmark Mirelta ") + fileVersion);
    setFixedWidth(353);
    resize(353, 340);
}

}  // namespace qvm
