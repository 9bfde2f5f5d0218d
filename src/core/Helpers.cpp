#include "core/Helpers.h"

#include <QDir>
#include <QFileInfo>
#include <cmath>

namespace qvm {

QString AddTrailingBackslash(const QString& path) {
    if (path.isEmpty() || path.endsWith(QLatin1Char('/'))) {
        return path;
    }
    return path + QLatin1Char('/');
}

bool ForceFolders(const QString& path) {
    if (QFileInfo(path).isDir()) {
        return true;
    }
    const QString full = AddTrailingBackslash(path);
    QString prefix;
    prefix.reserve(full.size());
    for (const QChar c : full) {
        prefix.append(c);
        if (c != QLatin1Char('/') || prefix == QLatin1String("/")) {
            continue;
        }
        if (QFileInfo(prefix).isDir()) {
            continue;
        }
        if (!QDir().mkdir(prefix)) {
            return false;
        }
    }
    return true;
}

double Power10(double x) {
    return std::exp(x * 2.302585092994);
}

QString ExecutablePath() {
    return QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
}

QString ExecutableFolder() {
    return AddTrailingBackslash(QFileInfo(ExecutablePath()).path());
}

QByteArray CutUtf8(const QByteArray& utf8, int maxBytes) {
    if (maxBytes < 0) {
        maxBytes = 0;
    }
    if (utf8.size() <= maxBytes) {
        return utf8;
    }
    qsizetype end = maxBytes;
    // Step back over continuation bytes (10xxxxxx) to the start of the
    // sequence that the limit would split.
    while (end > 0 && (static_cast<unsigned char>(utf8[end]) & 0xC0) == 0x80) {
        --end;
    }
    return utf8.left(end);
}

QString CutUtf8(const QString& text, int maxBytes) {
    const QByteArray utf8 = text.toUtf8();
    if (utf8.size() <= maxBytes) {
        return text;
    }
    return QString::fromUtf8(CutUtf8(utf8, maxBytes));
}

QString AsciiUpper(const QString& text) {
    QString out = text;
    for (QChar& c : out) {
        const char16_t u = c.unicode();
        if (u >= u'a' && u <= u'z') {
            c = QChar(static_cast<char16_t>(u - 32));
        }
    }
    return out;
}

int CompareText(const QString& a, const QString& b) {
    const qsizetype n = std::min(a.size(), b.size());
    for (qsizetype i = 0; i < n; ++i) {
        char16_t x = a[i].unicode();
        char16_t y = b[i].unicode();
        if (x >= u'a' && x <= u'z')
            x = static_cast<char16_t>(x - 32);
        if (y >= u'a' && y <= u'z')
            y = static_cast<char16_t>(y - 32);
        if (x != y) {
            return x < y ? -1 : 1;
        }
    }
    if (a.size() == b.size()) {
        return 0;
    }
    return a.size() < b.size() ? -1 : 1;
}

}  // namespace qvm
