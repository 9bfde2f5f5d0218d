#pragma once

#include <QString>

namespace qvm {

// Opens `path` the way the desktop would, without waiting for anything: an
// executable file is started detached, anything else (a document, a URL) is
// handed to `opener` (the desktop's default handler). No shell is involved, so
// the path is never interpreted. False when nothing could be started.
//
// Started with posix_spawn, which does not copy the player's address space as
// a fork does: the calling thread waits only until the program runs, well
// under a millisecond, instead of tens of milliseconds (more in a big
// process), which at a switch, the moment these programs are started, would
// hold up the fade that has just begun. The program gets a session of its
// own, the player's environment, standard output and error, and no input.
// UI thread.
bool OpenDetached(const QString& path, const QString& opener = QStringLiteral("xdg-open"));

// Collects the programs started by OpenDetached that have ended, so that none
// stays behind as a zombie. Cheap; called now and then from the main loop.
// Returns how many are still running. UI thread.
int ReapDetached();

}  // namespace qvm
