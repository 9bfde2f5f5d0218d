#include <malloc.h>

#include <QApplication>
#include <QFileInfo>
#include <memory>

#include "config/SettingsFile.h"
#include "core/Helpers.h"
#include "core/PlayerApp.h"
#include "core/SingleInstance.h"
#include "core/TsanSuppressions.h"
#include "lang/Language.h"

#if defined(__SANITIZE_THREAD__)
extern "C" const char* __tsan_default_suppressions() {
    return qvm::TsanSuppressions();
}
#endif

int main(int argc, char** argv) {
    // Every stream's ring and FFmpeg's buffers are large blocks allocated and
    // freed with each connection. With glibc's sliding mmap threshold they
    // soon come from the heap and leave it fragmented, and the player's
    // resident memory ratchets up for the first hour of faults; a fixed
    // threshold hands them back to the system when they are freed.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    QApplication app(argc, argv);
    const QString exePath = qvm::ExecutablePath();

    // A second copy of the same installation brings the first one forward
    // and leaves: two players on one sound device, one settings file and one
    // studio link would fight over all three. The first copy may itself be
    // starting, its endpoint not yet listening: it is given a few seconds.
    const std::unique_ptr<qvm::InstanceLock> instanceLock =
        qvm::InstanceLock::Acquire(exePath, nullptr);
    if (!instanceLock) {
        qvm::InstanceEndpoint::AskToRestoreWhenReady(
            [&exePath] { return qvm::InstanceLock::Holder(exePath); }, 3000);
        return 0;
    }
    qvm::InstanceEndpoint endpoint;

    auto language = std::make_unique<qvm::TLanguage>(
        qvm::ExecutableFolder(), QFileInfo(exePath).fileName() + QLatin1Char('.'));
    // Without any language file the user has been told and the program ends.
    language->setTerminateRequest([] {});
    if (!language->SelectStartLanguage(qvm::SettingsFilePath(exePath), QStringLiteral("Setting"),
                                       QStringLiteral("English"))) {
        return 1;
    }

    qvm::PlayerApp player(exePath, std::move(language));
    QObject::connect(&endpoint, &qvm::InstanceEndpoint::restoreRequested, &player.window(),
                     [&player] { player.window().restoreFromTray(); });
    if (!player.start()) {
        return player.exitCode();
    }
    return QApplication::exec();
}
