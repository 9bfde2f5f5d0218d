#include "config/Autostart.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>
#include <QStringDecoder>

#include "core/IniFile.h"

namespace qvm {

namespace {

// A desktop entry is a few hundred bytes; anything far larger is not one.
constexpr qint64 kMaxEntrySize = 64 * 1024;
constexpr int kMaxEntryNumber = 9999;

const QString kBaseName = QStringLiteral("QVMirelta");

struct EntryFile {
    QString path;
    QString name;
};

QList<EntryFile> ListEntries(const QString& folder) {
    QList<EntryFile> out;
    if (folder.isEmpty()) {
        return out;
    }
    const QFileInfoList infos =
        QDir(folder).entryInfoList({QStringLiteral("*.desktop")},
                                   QDir::Files | QDir::Hidden | QDir::CaseSensitive, QDir::Name);
    for (const QFileInfo& info : infos) {
        out.append({info.filePath(), info.fileName()});
    }
    return out;
}

// True when the file is a desktop entry that starts `executablePath` at
// login. Anything that is not readable UTF-8 text of sane size, or has no
// Exec, is not an entry for anybody.
bool StartsExecutable(const QString& path, const QString& executablePath) {
    // Checked before opening: a fifo named like an entry would block.
    const QFileInfo info(path);
    if (!info.isFile() || info.size() > kMaxEntrySize) {
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return false;
    }
    const QByteArray data = file.read(kMaxEntrySize + 1);
    if (data.size() > kMaxEntrySize || data.contains('\0')) {
        return false;
    }
    QStringDecoder utf8(QStringDecoder::Utf8);
    const QString text = utf8.decode(data);
    if (utf8.hasError()) {
        return false;
    }
    const IniDocument doc = IniDocument::parse(text.toUtf8());
    const QByteArray group = QByteArrayLiteral("Desktop Entry");
    const auto exec = doc.value(group, "Exec");
    if (!exec) {
        return false;
    }
    const auto flag = [&](const char* key) {
        return doc.value(group, key).value_or(QByteArray()).toLower();
    };
    if (flag("Hidden") == "true" || flag("X-GNOME-Autostart-enabled") == "false") {
        return false;
    }
    const QString program = ExecProgram(*exec);
    return !program.isEmpty() && program.compare(executablePath, Qt::CaseInsensitive) == 0;
}

bool NameTaken(const QString& folder, const QString& name) {
    if (folder.isEmpty()) {
        return false;
    }
    // A dangling link counts: writing through it would create its target.
    const QFileInfo info(QDir(folder).filePath(name));
    return info.exists() || info.isSymLink();
}

QByteArray EntryText(const QString& executablePath) {
    return QByteArrayLiteral(
               "[Desktop Entry]\n"
               "Type=Application\n"
               "Name=QV Mirelta\n"
               "Exec=") +
           ExecValueFor(executablePath) +
           QByteArrayLiteral(
               "\n"
               "X-GNOME-Autostart-enabled=true\n");
}

ConfigResult UnableToWrite(const QString& path) {
    return ConfigResult::failure(QStringLiteral("Unable to write to ") +
                                 QFileInfo(path).absoluteFilePath());
}

}  // namespace

AutostartPlaces AutostartPlaces::standard() {
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    // The base directory rules ignore a relative value.
    if (config.isEmpty() || QDir::isRelativePath(config)) {
        config = QDir::homePath() + QStringLiteral("/.config");
    }
    return {config + QStringLiteral("/autostart"), QStringLiteral("/etc/xdg/autostart")};
}

QString ExecProgram(const QByteArray& execValue) {
    const QString value = QString::fromUtf8(execValue);
    // The string escapes come first ...
    QString unescaped;
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value[i];
        if (c == QLatin1Char('\\') && i + 1 < value.size()) {
            const char16_t next = value[i + 1].unicode();
            const QChar replaced = next == u's'    ? QChar(u' ')
                                   : next == u'n'  ? QChar(u'\n')
                                   : next == u't'  ? QChar(u'\t')
                                   : next == u'r'  ? QChar(u'\r')
                                   : next == u'\\' ? QChar(u'\\')
                                                   : QChar();
            if (!replaced.isNull()) {
                unescaped += replaced;
                ++i;
                continue;
            }
        }
        unescaped += c;
    }
    // ... then the quoting of the first argument, then "%%" for "%".
    qsizetype i = 0;
    while (i < unescaped.size() && (unescaped[i] == u' ' || unescaped[i] == u'\t')) {
        ++i;
    }
    QString program;
    if (i < unescaped.size() && unescaped[i] == u'"') {
        bool closed = false;
        for (++i; i < unescaped.size(); ++i) {
            const QChar c = unescaped[i];
            if (c == u'"') {
                closed = true;
                break;
            }
            if (c == u'\\' && i + 1 < unescaped.size() &&
                QStringView(u"\"`$\\").contains(unescaped[i + 1])) {
                program += unescaped[++i];
                continue;
            }
            program += c;
        }
        if (!closed) {
            return {};
        }
    } else {
        while (i < unescaped.size() && unescaped[i] != u' ' && unescaped[i] != u'\t') {
            program += unescaped[i++];
        }
    }
    return program.replace(QStringLiteral("%%"), QStringLiteral("%"));
}

QByteArray ExecValueFor(const QString& program) {
    QString quoted = QStringLiteral("\"");
    for (const QChar c : program) {
        if (QStringView(u"\"`$\\").contains(c)) {
            quoted += u'\\';
        }
        quoted += c;
        if (c == u'%') {
            quoted += u'%';
        }
    }
    quoted += u'"';
    QString escaped;
    for (const QChar c : std::as_const(quoted)) {
        switch (c.unicode()) {
            case u'\\':
                escaped += QStringLiteral("\\\\");
                break;
            case u'\n':
                escaped += QStringLiteral("\\n");
                break;
            case u'\t':
                escaped += QStringLiteral("\\t");
                break;
            case u'\r':
                escaped += QStringLiteral("\\r");
                break;
            default:
                escaped += c;
        }
    }
    return escaped.toUtf8();
}

bool IsAutostartOn(const QString& executablePath, const AutostartPlaces& places) {
    QSet<QString> userNames;
    for (const EntryFile& entry : ListEntries(places.userFolder)) {
        if (StartsExecutable(entry.path, executablePath)) {
            return true;
        }
        userNames.insert(entry.name);
    }
    // A user file of the same name replaces a machine-wide entry.
    for (const EntryFile& entry : ListEntries(places.machineFolder)) {
        if (!userNames.contains(entry.name) && StartsExecutable(entry.path, executablePath)) {
            return true;
        }
    }
    return false;
}

ConfigResult SetAutostart(const QString& executablePath, bool on, const AutostartPlaces& places) {
    ConfigResult result;
    for (const EntryFile& entry : ListEntries(places.userFolder)) {
        if (!StartsExecutable(entry.path, executablePath)) {
            continue;
        }
        if (on) {
            return result;
        }
        if (!QFile::remove(entry.path) && result) {
            result = UnableToWrite(entry.path);
        }
    }
    if (!on) {
        return result;
    }

    if (!QDir().mkpath(places.userFolder)) {
        return UnableToWrite(places.userFolder);
    }
    for (int n = 0; n <= kMaxEntryNumber; ++n) {
        const QString name =
            kBaseName + (n == 0 ? QString() : QString::number(n)) + QStringLiteral(".desktop");
        if (NameTaken(places.userFolder, name) || NameTaken(places.machineFolder, name)) {
            continue;
        }
        const QString path = QDir(places.userFolder).filePath(name);
        QSaveFile file(path);
        const QByteArray text = EntryText(executablePath);
        if (!file.open(QIODevice::WriteOnly) || file.write(text) != text.size() || !file.commit()) {
            return UnableToWrite(path);
        }
        return result;
    }
    return UnableToWrite(places.userFolder);
}

}  // namespace qvm
