#include <QApplication>

#include "ui/MainWindow.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    qvm::MainWindow window(QStringLiteral(QVM_FILE_VERSION));
    window.show();
    return QApplication::exec();
}
