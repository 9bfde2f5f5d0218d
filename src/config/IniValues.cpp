#include "config/IniValues.h"

#include <QLocale>
#include <QStringDecoder>
#include <cmath>
#include <limits>

#include "core/Helpers.h"

namespace qvm {

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

qsizetype SkipDigits(QByteArrayView text, qsizetype at) {
    while (at < text.size() && IsDigit(text[at])) {
        ++at;
    }
    return at;
}

}  // namespace

std::optional<qint32> ParseIniInteger(QByteArrayView text) {
    qsizetype at = 0;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        negative = text[at] == '-';
        ++at;
    }
    int base = 10;
    if (text.sliced(at).startsWith("$")) {
        base = 16;
        at += 1;
    } else if (text.sliced(at).startsWith("0x") || text.sliced(at).startsWith("0X")) {
        base = 16;
        at += 2;
    }
    if (at == text.size()) {
        return std::nullopt;
    }
    // One past the largest magnitude: stop as soon as the value leaves the
    // 32-bit range, so that endless digits cannot overflow the accumulator.
    constexpr qint64 kLimit = qint64{std::numeric_limits<qint32>::max()} + 2;
    qint64 magnitude = 0;
    for (; at < text.size(); ++at) {
        const int digit =
            base == 16 ? HexDigitValue(text[at]) : (IsDigit(text[at]) ? text[at] - '0' : -1);
        if (digit < 0) {
            return std::nullopt;
        }
        magnitude = std::min(magnitude * base + digit, kLimit);
    }
    const qint64 value = negative ? -magnitude : magnitude;
    if (value < std::numeric_limits<qint32>::min() || value > std::numeric_limits<qint32>::max()) {
        return std::nullopt;
    }
    return static_cast<qint32>(value);
}

std::optional<double> ParseIniReal(QByteArrayView text) {
    // [sign] (digits [. [digits]] | . digits) [(e|E) [sign] digits]
    qsizetype at = 0;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        ++at;
    }
    const qsizetype intStart = at;
    at = SkipDigits(text, at);
    bool digits = at > intStart;
    if (at < text.size() && text[at] == '.') {
        const qsizetype fracStart = ++at;
        at = SkipDigits(text, at);
        digits = digits || at > fracStart;
    }
    if (!digits) {
        return std::nullopt;
    }
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        ++at;
        if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
            ++at;
        }
        const qsizetype expStart = at;
        at = SkipDigits(text, at);
        if (at == expStart) {
            return std::nullopt;
        }
    }
    if (at != text.size()) {
        return std::nullopt;
    }
    bool ok = false;
    const double value = text.toByteArray().toDouble(&ok);
    if (!ok || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

QByteArray FormatIniReal(double value) {
    QByteArray text = QByteArray::number(value, 'g', 15);
    if (std::isfinite(value) && !ParseIniReal(text)) {
        // Near the largest double, 15 digits can round beyond it.
        text = QByteArray::number(value, 'g', QLocale::FloatingPointShortest);
    }
    return text;
}

QString ParseIniText(QByteArrayView text) {
    // Stateless: an incomplete sequence at the end becomes a replacement
    // character instead of being held back for bytes that never come.
    QStringDecoder decode(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom |
                                                      QStringConverter::Flag::Stateless);
    return decode(text);
}

}  // namespace qvm
