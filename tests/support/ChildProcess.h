#pragma once

#include <sys/prctl.h>
#include <QProcess>
#include <csignal>
#include <string>

namespace qvm::test {

// A program a test starts must not outlive it: when the test process dies
// (a crash, a sanitizer stopping it, a time-out kill), the kernel ends the
// child too, so no player, ffmpeg or icecast2 keeps running on the machine.
inline void EndWithParent(QProcess& process) {
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
}

// The last `lines` lines of a program's output, for an error message.
inline std::string OutputTail(const QByteArray& text, int lines) {
    QList<QByteArray> all = text.trimmed().split('\n');
    if (all.size() > lines) {
        all = all.mid(all.size() - lines);
    }
    return all.join('\n').toStdString();
}

}  // namespace qvm::test
