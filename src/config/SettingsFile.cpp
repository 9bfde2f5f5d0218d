#include "config/SettingsFile.h"

#include <QFileInfo>
#include <QHash>
#include <algorithm>
#include <cctype>
#include <limits>
#include <type_traits>

#include "config/IniValues.h"
#include "core/Helpers.h"

namespace qvm {

namespace {

const QByteArray kSetting = QByteArrayLiteral("Setting");
const QByteArray kChannels = QByteArrayLiteral("Channels");
const QByteArray kPlugins = QByteArrayLiteral("Plugins");

// The keys of "Setting" in the order the file holds them; reading and writing
// both walk this one list. `visit(key, field)` for numbers and booleans,
// `visit(key, field, limit)` for texts.
template <typename Visitor>
void VisitSettingKeys(PlayerSettings& s, Visitor&& visit) {
    visit("Language", s.Language, kShortTextBytes);
    visit("SourceMode", s.SourceMode);
    visit("PID", s.PID);
    visit("Hide", s.Hide);
    visit("Log", s.Log);
    visit("Device", s.Device, kLongTextBytes);
    visit("Bitrate", s.Bitrate);
    visit("Wait", s.Wait);
    visit("Volume", s.Volume);
    visit("Buffer", s.Buffer);
    visit("SilenceLevel", s.SilenceLevel);
    visit("SilenceTime", s.SilenceTime);
    visit("RestoreTime", s.RestoreTime);
    visit("BreakTime", s.BreakTime);
    visit("ConnectTime", s.ConnectTime);
    visit("FadeOut", s.FadeOut);
    visit("FadeIn", s.FadeIn);
    visit("ChFadeOut", s.ChFadeOut);
    visit("ChFadeIn", s.ChFadeIn);
    visit("SwitchMode", s.SwitchMode);
    visit("Delay", s.Delay);
    visit("RunOnChange", s.RunOnChange, kShortTextBytes);
    visit("RunOnRestore", s.RunOnRestore, kShortTextBytes);
    visit("TimeOut", s.TimeOut);
    visit("RestoreMode", s.RestoreMode);
    visit("SwitchBy", s.SwitchBy);
    visit("HTTPPort", s.HTTPPort);
    visit("HTTPUser", s.HTTPUser, kShortTextBytes);
    visit("HTTPPass", s.HTTPPass, kShortTextBytes);
    visit("HTTPRefresh", s.HTTPRefresh);
    visit("HTTPAddress", s.HTTPAddress, kShortTextBytes);
}

QByteArray Numbered(const char* key, int n) {
    return QByteArray(key) + QByteArray::number(n);
}

// Drops ASCII blanks that a cut may have left at the end; the file could not
// keep them, so a read text is as the next read will see it.
QString ChopTrailingBlanks(QString text) {
    qsizetype end = text.size();
    while (end > 0 && text[end - 1].unicode() < 0x80 &&
           std::isspace(static_cast<unsigned char>(text[end - 1].unicode()))) {
        --end;
    }
    text.truncate(end);
    return text;
}

// One section's keys with their first values, looked up by ASCII-lower-case
// name: a load asks for over a thousand keys, and a scan of the section per
// key would let a large garbage section stall start-up.
class SectionReader {
  public:
    SectionReader(const IniDocument& doc, const QByteArray& section) {
        const auto entries = doc.entries(section);
        m_values.reserve(entries.size());
        for (const auto& [name, value] : entries) {
            const QByteArray key = name.toLower();
            if (!m_values.contains(key)) {
                m_values.insert(key, value);
            }
        }
    }

    std::optional<QByteArray> raw(const QByteArray& key) const {
        const auto it = m_values.constFind(key.toLower());
        if (it == m_values.constEnd()) {
            return std::nullopt;
        }
        return *it;
    }

    // Integers of any width: a value that fits 32 bits but not the field is
    // clamped to the field's range; an unreadable one leaves the default.
    template <typename T>
    requires std::is_integral_v<T> &&(!std::is_same_v<T, bool>)void operator()(
        const QByteArray& key, T& field) const {
        if (const auto number = integer(key)) {
            field = static_cast<T>(std::clamp<qint64>(*number, std::numeric_limits<T>::min(),
                                                      std::numeric_limits<T>::max()));
        }
    }
    void operator()(const QByteArray& key, bool& field) const {
        if (const auto number = integer(key)) {
            field = *number != 0;
        }
    }
    void operator()(const QByteArray& key, double& field) const {
        if (const auto value = raw(key)) {
            if (const auto number = ParseIniReal(*value)) {
                field = *number;
            }
        }
    }
    void operator()(const QByteArray& key, QString& field, int maxBytes) const {
        if (const auto value = raw(key)) {
            field = ChopTrailingBlanks(CutUtf8(ParseIniText(*value), maxBytes));
        }
    }

  private:
    std::optional<qint32> integer(const QByteArray& key) const {
        const auto value = raw(key);
        return value ? ParseIniInteger(*value) : std::nullopt;
    }

    QHash<QByteArray, QByteArray> m_values;
};

class SectionWriter {
  public:
    SectionWriter(IniDocument& doc, QByteArray section)
        : m_doc(doc), m_section(std::move(section)) {}

    template <typename T>
    requires std::is_integral_v<T> &&(!std::is_same_v<T, bool>)void operator()(
        const QByteArray& key, T field) const {
        m_doc.setValue(m_section, key, QByteArray::number(field));
    }
    void operator()(const QByteArray& key, bool field) const {
        m_doc.setValue(m_section, key, field ? "1" : "0");
    }
    void operator()(const QByteArray& key, double field) const {
        m_doc.setValue(m_section, key, FormatIniReal(field));
    }
    void operator()(const QByteArray& key, const QString& field, int /*maxBytes*/ = 0) const {
        m_doc.setValue(m_section, key, field.toUtf8());
    }

  private:
    IniDocument& m_doc;
    QByteArray m_section;
};

}  // namespace

QString SettingsFilePath(const QString& executablePath) {
    const QFileInfo info(executablePath);
    QString name = info.fileName();
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot > 0) {
        name.truncate(dot);
    }
    return AddTrailingBackslash(info.path()) + name + QStringLiteral(".ini");
}

void ReadSettings(Configuration& config, const IniDocument& doc, const QString& exeFolder) {
    config.settings = PlayerSettings{};
    PlayerSettings& s = config.settings;
    VisitSettingKeys(s, SectionReader(doc, kSetting));
    if (s.SourceMode != 2) {
        s.RestoreMode = false;
    }
    s.SwitchMode = std::clamp(s.SwitchMode, 0, 1);

    // The first missing or empty URL ends the list, even when higher numbers
    // follow.
    config.channels.clear();
    const SectionReader channels(doc, kChannels);
    for (int n = 1; n <= kMaxLoadedChannels; ++n) {
        auto channel = std::make_shared<ChannelSettings>();
        channels(Numbered("URL", n), channel->URL, kLongTextBytes);
        if (channel->URL.isEmpty()) {
            break;
        }
        channels(Numbered("Always", n), channel->Always);
        channels(Numbered("Amp", n), channel->Amp);
        channels(Numbered("Restart", n), channel->Restart);
        config.channels.append(std::move(channel));
    }

    const SectionReader plugins(doc, kPlugins);
    config.pluginPath = CutUtf8(AddTrailingBackslash(exeFolder), kLongTextBytes);
    plugins("Path", config.pluginPath, kLongTextBytes);
    config.pluginFiles.clear();
    for (int n = 1; n <= kMaxLoadedPlugins; ++n) {
        const auto file = plugins.raw(Numbered("File", n));
        if (!file || file->isEmpty()) {
            break;
        }
        config.pluginFiles.append(ParseIniText(*file));
    }
}

void WriteSettings(Configuration& config, IniDocument& doc) {
    PlayerSettings& s = config.settings;
    if (s.SourceMode != 2) {
        s.RestoreMode = false;
    }
    LimitTexts(config);
    VisitSettingKeys(s, SectionWriter(doc, kSetting));

    // Both sections are rebuilt at the end of the file, "Channels" first; keys
    // of them that the player does not know do not survive.
    doc.eraseSection(kChannels);
    const SectionWriter channels(doc, kChannels);
    int n = 0;
    for (const std::shared_ptr<ChannelSettings>& channel : config.channels) {
        if (!channel) {
            continue;
        }
        ++n;
        channels(Numbered("URL", n), channel->URL);
        channels(Numbered("Always", n), channel->Always);
        channels(Numbered("Amp", n), channel->Amp);
        if (channel->Restart != 0) {
            channels(Numbered("Restart", n), channel->Restart);
        } else {
            doc.deleteKey(kChannels, Numbered("Restart", n));
        }
    }

    doc.eraseSection(kPlugins);
    const SectionWriter plugins(doc, kPlugins);
    plugins("Path", config.pluginPath);
    n = 0;
    for (const QString& file : std::as_const(config.pluginFiles)) {
        plugins(Numbered("File", ++n), file);
    }
}

QString UnreadableSettingsMessage(const QString& iniPath) {
    return QStringLiteral(
               "The settings file %1 exists but cannot be read. The player runs with "
               "default settings and will not save over that file.")
        .arg(QFileInfo(iniPath).absoluteFilePath());
}

ConfigResult LoadSettings(Configuration& config, const QString& iniPath, const QString& exeFolder) {
    IniDocument::LoadState state = IniDocument::LoadState::Missing;
    ReadSettings(config, IniDocument::load(iniPath, &state), exeFolder);
    config.fileUnreadable = state == IniDocument::LoadState::Unreadable;
    if (config.fileUnreadable) {
        return ConfigResult::failure(UnreadableSettingsMessage(iniPath));
    }
    return {};
}

ConfigResult SaveSettings(Configuration& config, const QString& iniPath) {
    IniDocument::LoadState state = IniDocument::LoadState::Missing;
    IniDocument doc = IniDocument::load(iniPath, &state);
    if (config.fileUnreadable || state == IniDocument::LoadState::Unreadable) {
        return ConfigResult::failure(UnreadableSettingsMessage(iniPath));
    }
    WriteSettings(config, doc);
    if (!doc.saveAtomically(iniPath)) {
        return ConfigResult::failure(QStringLiteral("Unable to write to ") +
                                     QFileInfo(iniPath).absoluteFilePath());
    }
    return {};
}

}  // namespace qvm
