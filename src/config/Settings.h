#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <array>
#include <memory>
#include <optional>

namespace qvm {

// Text limits in bytes of UTF-8; a longer text is cut at a character boundary.
inline constexpr int kLongTextBytes = 255;    // URL, Device, PluginPath
inline constexpr int kShortTextBytes = 192;   // the other text settings
inline constexpr int kBitrateTextBytes = 64;  // a stream's bitrate text

// The whole player's settings, one field per key of the "Setting" section,
// with the defaults a missing key gets. Field widths are those of the file:
// a number outside a field's range is clamped when it is read.
struct PlayerSettings {
    qint32 SourceMode = 0;  // bit value 1 autoplay, 2 interactive (studio link)
    qint16 PID = 0;
    bool Hide = false;
    bool Log = false;
    QString Device;  // at most kLongTextBytes
    quint16 Delay = 0;
    qint32 Bitrate = 0;  // index into kSampleRates
    qint32 Wait = 10;
    qint32 Volume = 100;
    double Buffer = 1.0;
    bool RestoreMode = false;  // honoured only when SourceMode is exactly 2
    qint16 SilenceLevel = -36;
    double SilenceTime = 5.0;
    double RestoreTime = 5.0;
    double BreakTime = 10.0;
    double ConnectTime = 30.0;
    double FadeOut = 0.0;
    double FadeIn = 2.0;
    double ChFadeOut = 0.0;
    double ChFadeIn = 2.0;
    double TimeOut = 5.0;
    qint32 SwitchMode = 0;  // 0 subordination, 1 cycle
    quint8 SwitchBy = 3;    // bit value 1 on silence, 2 on a broken connection
    QString Language = QStringLiteral("English");  // the others at most kShortTextBytes
    QString RunOnChange;
    QString RunOnRestore;
    qint32 HTTPPort = 0;
    qint32 HTTPRefresh = 0;
    QString HTTPUser;
    QString HTTPPass;
    QString HTTPAddress;  // one local address to listen on; empty: every interface

    bool operator==(const PlayerSettings&) const = default;
};

// One configured stream.
struct ChannelSettings {
    bool Always = false;
    qint16 Amp = 0;      // tenths of a decibel
    qint32 Restart = 0;  // packed restart plan, 0 = none
    QString URL;         // at most kLongTextBytes

    bool operator==(const ChannelSettings&) const = default;
};

// Entry 0 is channel 1. Entries are shared so that the settings dialog can
// edit an entry in place while its own working list differs in order and
// length from the player's.
using ChannelList = QList<std::shared_ptr<ChannelSettings>>;

// Everything the settings file holds. One object, owned by the player and
// changed only on the UI thread (load, settings dialog, device start-up).
struct Configuration {
    PlayerSettings settings;
    ChannelList channels;
    QString pluginPath;       // folder of the DSP plug-ins, at most kLongTextBytes
    QStringList pluginFiles;  // chained in this order
    // The settings file exists but could not be read when it was loaded: what
    // is in memory are defaults, not the station's settings, and a save would
    // put them over the file. Not a setting; not compared.
    bool fileUnreadable = false;

    // Compares the channel entries by value, not by identity.
    bool operator==(const Configuration& other) const;
};

// Output sample rates, indexed by PlayerSettings::Bitrate.
inline constexpr std::array<int, 3> kSampleRates = {48000, 44100, 32000};
// The rate for an index, or nothing for an index outside the table.
std::optional<int> SampleRateForIndex(int index);

// Cuts every text to its limit.
void LimitTexts(PlayerSettings& settings);
void LimitTexts(ChannelSettings& channel);
void LimitTexts(Configuration& config);

}  // namespace qvm
