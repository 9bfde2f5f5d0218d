// Runs the GoogleTest cases inside a Qt application object, so that timers,
// widgets and the event loop behave as they do in the player.
#include <gtest/gtest.h>

#include <unistd.h>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <cstdlib>
#include "core/TsanSuppressions.h"

#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
    return qvm::TsanSuppressions();
}
#endif

int main(int argc, char** argv) {
    if (std::getenv("QT_QPA_PLATFORM") == nullptr) {
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    }
    if (std::getenv("XDG_RUNTIME_DIR") == nullptr) {
        // Qt warns about a missing runtime folder; give it a private one.
        const QByteArray dir =
            QDir::tempPath().toUtf8() + "/qvm-test-runtime-" + QByteArray::number(getuid());
        QDir().mkpath(QString::fromUtf8(dir));
        QFile::setPermissions(QString::fromUtf8(dir), QFileDevice::ReadOwner |
                                                          QFileDevice::WriteOwner |
                                                          QFileDevice::ExeOwner);
        setenv("XDG_RUNTIME_DIR", dir.constData(), 1);
    }
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
