#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>
#include <utility>

namespace qvm {

// An INI file held as its lines, so that a rewrite keeps everything it does
// not change: comments, unknown keys and sections, their order and spelling.
// Section and key names match without regard to ASCII case; names and values
// are trimmed of blanks. Reading never fails: lines that are neither a section
// header nor "key=value" are kept and ignored. The first occurrence of a
// section, and of a key within it, is the one that counts. A UTF-8 byte order
// mark before the first line is kept on rewrite and ignored when reading.
class IniDocument {
  public:
    // Files above this size are not read (every value then has its default),
    // so that a runaway file cannot stall start-up: a document costs up to
    // ~60 bytes of memory per byte of a file made of tiny lines. Real settings
    // and language files stay far below it.
    static constexpr qint64 kMaxFileSize = 1024 * 1024;

    // What load() found at the path.
    enum class LoadState {
        Missing,     // nothing there: an empty document
        Read,        // the file's lines
        Unreadable,  // something is there but could not be read: an empty document
    };

    IniDocument() = default;
    static IniDocument parse(const QByteArray& data);
    // A missing, unreadable or oversized file, or one that is not a regular
    // file (a fifo would block), gives an empty document; `state` tells which.
    static IniDocument load(const QString& path, LoadState* state = nullptr);

    QByteArray serialize() const;
    // Writes a temporary file in the same folder, flushes it to disk and
    // renames it over `path`, so that a failed save leaves the old file whole.
    bool saveAtomically(const QString& path) const;

    std::optional<QByteArray> value(const QByteArray& section, const QByteArray& key) const;
    bool hasSection(const QByteArray& section) const;
    // Every "key=value" line of the section in file order (duplicates included).
    QList<std::pair<QByteArray, QByteArray>> entries(const QByteArray& section) const;

    // Rewrites the key's first occurrence in place; a new key goes to the end
    // of its section, a new section to the end of the file. A line break in
    // any of the three would split the line, so each becomes a blank.
    void setValue(const QByteArray& section, const QByteArray& key, const QByteArray& value);
    void deleteKey(const QByteArray& section, const QByteArray& key);
    // Removes every section of that name with all its lines.
    void eraseSection(const QByteArray& section);

  private:
    struct Line {
        enum class Kind { Other, Section, Entry } kind = Kind::Other;
        // The line as read or written, without line end. Consecutive Other
        // lines share one Line joined by "\n", so that a file of blank or
        // garbage lines stays small in memory.
        QByteArray raw;
        QByteArray name;   // section name or key, trimmed
        QByteArray value;  // entry value, trimmed
    };

    // Index of the first line of the section's header, or -1.
    qsizetype findSection(const QByteArray& section) const;
    // One past the last line that belongs to the section starting at `header`.
    qsizetype sectionEnd(qsizetype header) const;
    qsizetype findKey(qsizetype header, const QByteArray& key) const;

    QList<Line> m_lines;
};

// ASCII case-insensitive equality of two names.
bool SameName(const QByteArray& a, const QByteArray& b);

}  // namespace qvm
