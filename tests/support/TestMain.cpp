// Runs the GoogleTest cases inside a Qt application object, so that timers,
// widgets and the event loop behave as they do in the player.
#include <gtest/gtest.h>

#include <unistd.h>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <cstdlib>

#if defined(__SANITIZE_THREAD__)
// Libraries built without ThreadSanitizer synchronise in code it cannot see,
// so it reports their own hand-overs as races:
// - Qt's thread pool (text layout and image work of the widgets run there);
// - libpulse, loaded by the ALSA "pulse" plug-in while PortAudio lists devices.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libQt6Core.so.6\n"
           "race:libQt6Gui.so.6\n"
           "race:libpulse.so.0\n"
           "race:libpulsecommon-16.1.so\n"
           "race:libasound_module_pcm_pulse.so\n";
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
