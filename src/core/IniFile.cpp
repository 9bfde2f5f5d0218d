#include "core/IniFile.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace qvm {

bool SameName(const QByteArray& a, const QByteArray& b) {
    return a.size() == b.size() && qstrnicmp(a.constData(), a.size(), b.constData(), b.size()) == 0;
}

IniDocument IniDocument::parse(const QByteArray& data) {
    IniDocument doc;
    qsizetype start = 0;
    while (start < data.size()) {
        qsizetype end = data.indexOf('\n', start);
        if (end < 0) {
            end = data.size();
        }
        Line line;
        line.raw = data.mid(start, end - start);
        // Every carriage return before the line feed goes: keeping one of
        // "\r\r\n" would make the line read differently once written back.
        while (line.raw.endsWith('\r')) {
            line.raw.chop(1);
        }
        QByteArrayView text(line.raw);
        if (start == 0 && text.startsWith(QByteArrayView("\xEF\xBB\xBF"))) {
            text = text.sliced(3);
        }
        text = text.trimmed();
        if (text.startsWith('[')) {
            const qsizetype close = text.indexOf(']');
            if (close > 0) {
                line.kind = Line::Kind::Section;
                line.name = text.sliced(1, close - 1).trimmed().toByteArray();
            }
        } else {
            const qsizetype eq = text.indexOf('=');
            if (eq > 0) {
                line.kind = Line::Kind::Entry;
                line.name = text.first(eq).trimmed().toByteArray();
                line.value = text.sliced(eq + 1).trimmed().toByteArray();
            }
        }
        if (line.kind == Line::Kind::Other && !doc.m_lines.isEmpty() &&
            doc.m_lines.last().kind == Line::Kind::Other) {
            QByteArray& block = doc.m_lines.last().raw;
            block += '\n';
            block += line.raw;
        } else {
            doc.m_lines.append(std::move(line));
        }
        start = end + 1;
    }
    return doc;
}

IniDocument IniDocument::load(const QString& path, LoadState* state) {
    LoadState found = LoadState::Unreadable;
    IniDocument doc;
    // Only regular files of sane size, checked before opening: opening a fifo
    // named like the settings file would block start-up.
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink()) {
        found = LoadState::Missing;
    } else if (info.isFile() && info.size() <= kMaxFileSize) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly)) {
            // The file may have grown since the check.
            const QByteArray data = file.read(kMaxFileSize + 1);
            if (file.error() == QFileDevice::NoError && data.size() <= kMaxFileSize) {
                doc = parse(data);
                found = LoadState::Read;
            }
        }
    }
    if (state != nullptr) {
        *state = found;
    }
    return doc;
}

QByteArray IniDocument::serialize() const {
    QByteArray out;
    for (const Line& line : m_lines) {
        out += line.raw;
        out += '\n';
    }
    return out;
}

bool IniDocument::saveAtomically(const QString& path) const {
    QSaveFile file(path);
    // Unbuffered, so that a short write (full disk, file size limit) shows in
    // the count: a buffered QSaveFile commits a truncated file as a success.
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        return false;
    }
    const QByteArray data = serialize();
    if (file.write(data) != data.size()) {
        file.cancelWriting();
        return false;
    }
    // commit() flushes and fsyncs the temporary file before the rename.
    return file.commit();
}

qsizetype IniDocument::findSection(const QByteArray& section) const {
    for (qsizetype i = 0; i < m_lines.size(); ++i) {
        if (m_lines[i].kind == Line::Kind::Section && SameName(m_lines[i].name, section)) {
            return i;
        }
    }
    return -1;
}

qsizetype IniDocument::sectionEnd(qsizetype header) const {
    qsizetype i = header + 1;
    while (i < m_lines.size() && m_lines[i].kind != Line::Kind::Section) {
        ++i;
    }
    return i;
}

qsizetype IniDocument::findKey(qsizetype header, const QByteArray& key) const {
    const qsizetype end = sectionEnd(header);
    for (qsizetype i = header + 1; i < end; ++i) {
        if (m_lines[i].kind == Line::Kind::Entry && SameName(m_lines[i].name, key)) {
            return i;
        }
    }
    return -1;
}

std::optional<QByteArray> IniDocument::value(const QByteArray& section,
                                             const QByteArray& key) const {
    const qsizetype header = findSection(section);
    if (header < 0) {
        return std::nullopt;
    }
    const qsizetype at = findKey(header, key);
    if (at < 0) {
        return std::nullopt;
    }
    return m_lines[at].value;
}

bool IniDocument::hasSection(const QByteArray& section) const {
    return findSection(section) >= 0;
}

QList<std::pair<QByteArray, QByteArray>> IniDocument::entries(const QByteArray& section) const {
    QList<std::pair<QByteArray, QByteArray>> out;
    const qsizetype header = findSection(section);
    if (header < 0) {
        return out;
    }
    const qsizetype end = sectionEnd(header);
    for (qsizetype i = header + 1; i < end; ++i) {
        if (m_lines[i].kind == Line::Kind::Entry) {
            out.append({m_lines[i].name, m_lines[i].value});
        }
    }
    return out;
}

namespace {

QByteArray OneLine(QByteArray text) {
    return text.replace('\n', ' ').trimmed();
}

}  // namespace

void IniDocument::setValue(const QByteArray& rawSection, const QByteArray& key,
                           const QByteArray& value) {
    const QByteArray section = OneLine(rawSection);
    Line entry;
    entry.kind = Line::Kind::Entry;
    entry.name = OneLine(key);
    entry.value = OneLine(value);
    entry.raw = entry.name + '=' + entry.value;

    qsizetype header = findSection(section);
    if (header < 0) {
        Line head;
        head.kind = Line::Kind::Section;
        head.name = section;
        head.raw = '[' + section + ']';
        m_lines.append(head);
        m_lines.append(entry);
        return;
    }
    const qsizetype at = findKey(header, entry.name);
    if (at >= 0) {
        entry.name = m_lines[at].name;  // the key keeps its spelling
        entry.raw = entry.name + '=' + entry.value;
        m_lines[at] = entry;
        return;
    }
    // After the section's last entry, so that blank lines and comments that
    // separate it from the next section stay where they are.
    qsizetype insertAt = header + 1;
    const qsizetype end = sectionEnd(header);
    for (qsizetype i = header + 1; i < end; ++i) {
        if (m_lines[i].kind == Line::Kind::Entry) {
            insertAt = i + 1;
        }
    }
    m_lines.insert(insertAt, entry);
}

void IniDocument::deleteKey(const QByteArray& section, const QByteArray& key) {
    const qsizetype header = findSection(section);
    if (header < 0) {
        return;
    }
    const qsizetype at = findKey(header, key);
    if (at >= 0) {
        m_lines.removeAt(at);
    }
}

void IniDocument::eraseSection(const QByteArray& section) {
    // One pass, so that a file with many sections of that name costs linear
    // time rather than a rescan per section.
    QList<Line> kept;
    kept.reserve(m_lines.size());
    bool erasing = false;
    for (Line& line : m_lines) {
        if (line.kind == Line::Kind::Section) {
            erasing = SameName(line.name, section);
        }
        if (!erasing) {
            kept.append(std::move(line));
        }
    }
    m_lines = std::move(kept);
}

}  // namespace qvm
