#pragma once

#include <QString>

namespace qvm {

// Opens `path` the way the desktop would, without waiting for anything: an
// executable file is started detached, anything else (a document, a URL) is
// handed to `opener` (the desktop's default handler). No shell is involved, so
// the path is never interpreted. False when nothing could be started. UI
// thread.
bool OpenDetached(const QString& path, const QString& opener = QStringLiteral("xdg-open"));

}  // namespace qvm
