#pragma once

#include <QString>

#include "config/SettingsFile.h"

namespace qvm {

// Autostart through XDG desktop entries. An entry is a "*.desktop" file whose
// Exec line starts the executable; it counts when its program path equals the
// executable's path without regard to letter case and the desktop has not
// been told to skip it (Hidden=true, X-GNOME-Autostart-enabled=false).
struct AutostartPlaces {
    QString userFolder;     // changed by the player
    QString machineFolder;  // only read

    // $XDG_CONFIG_HOME/autostart (~/.config/autostart without it) and
    // /etc/xdg/autostart.
    static AutostartPlaces standard();
};

// True when an entry for the executable exists in either folder. Unreadable
// folders and files are skipped silently.
bool IsAutostartOn(const QString& executablePath,
                   const AutostartPlaces& places = AutostartPlaces::standard());

// Off removes every user entry for the executable, whatever its file name. On
// keeps an existing user entry, or writes QVMirelta.desktop, or the first of
// QVMirelta1.desktop, QVMirelta2.desktop, ... whose name is free in both
// folders (a user file of the same name would hide the machine-wide one).
// Entries in the machine-wide folder are never changed, so one there keeps
// IsAutostartOn true after SetAutostart(false). UI thread.
ConfigResult SetAutostart(const QString& executablePath, bool on,
                          const AutostartPlaces& places = AutostartPlaces::standard());

// The program path of a desktop entry's Exec value: its first argument after
// the string escapes and the quoting rules are undone; empty when malformed.
QString ExecProgram(const QByteArray& execValue);
// An Exec value that starts exactly `program` with no arguments.
QByteArray ExecValueFor(const QString& program);

}  // namespace qvm
