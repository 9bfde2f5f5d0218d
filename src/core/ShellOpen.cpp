#include "core/ShellOpen.h"

#include <QFileInfo>
#include <QProcess>

namespace qvm {

bool OpenDetached(const QString& path, const QString& opener) {
    if (path.isEmpty()) {
        return false;
    }
    const QFileInfo info(path);
    if (info.isFile() && info.isExecutable()) {
        return QProcess::startDetached(info.absoluteFilePath(), {});
    }
    return QProcess::startDetached(opener, {path});
}

}  // namespace qvm
