#pragma once

#include <QString>

#include "config/Settings.h"
#include "core/IniFile.h"

namespace qvm {

// The outcome of a change on disk: the message for the user when it failed.
struct ConfigResult {
    bool ok = true;
    QString error;

    static ConfigResult failure(QString message) { return {false, std::move(message)}; }
    explicit operator bool() const { return ok; }
};

// At most this many channels and plug-in names are read; every one is written.
inline constexpr int kMaxLoadedChannels = 256;
inline constexpr int kMaxLoadedPlugins = 256;

// The settings file of an executable: its path with the extension replaced by
// (or, without one, extended by) ".ini".
QString SettingsFilePath(const QString& executablePath);

// Fills the configuration from the file; a missing or unreadable file, section
// or key gives the defaults, and nothing is created. A file that exists but
// cannot be read (no permission, larger than IniDocument reads, not a regular
// file) sets config.fileUnreadable; the result then carries the message for
// the user. `exeFolder` is the default plug-in folder. UI thread.
ConfigResult LoadSettings(Configuration& config, const QString& iniPath, const QString& exeFolder);

// Writes the configuration into the file, keeping every line it does not own,
// and replaces the file atomically: on failure the old file stays whole and the
// result says "Unable to write to <full path>". A file that could not be read,
// now or when the configuration was loaded, is never written over: its lines
// and the station's settings in it would be lost; the result says so.
// RestoreMode is forced false in `config` itself unless SourceMode is exactly
// 2, and over-long texts are cut there too. UI thread.
ConfigResult SaveSettings(Configuration& config, const QString& iniPath);

// The message for a settings file that exists but cannot be read.
QString UnreadableSettingsMessage(const QString& iniPath);

// The same over a document in memory.
void ReadSettings(Configuration& config, const IniDocument& doc, const QString& exeFolder);
void WriteSettings(Configuration& config, IniDocument& doc);

}  // namespace qvm
