#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <optional>

namespace qvm {

// The value encodings of the settings file. Reading is strict: anything but
// the whole value in the expected form is unreadable, and the caller then
// uses the key's default.

// Decimal, or hexadecimal after "0x" or "$", with an optional sign. Nothing
// when unreadable or outside the signed 32-bit range.
std::optional<qint32> ParseIniInteger(QByteArrayView text);

// A decimal real with "." as separator and an optional exponent ("2", "0.5",
// "-1.5e3"). Nothing when unreadable: "1,5", "nan", "inf" and values beyond
// a double's range ("1e999", "1e-999").
std::optional<double> ParseIniReal(QByteArrayView text);

// Shortest general notation with up to 15 significant digits ("2", "0.5",
// "1e+20"); a value that would not read back as a finite number at that
// precision is written with as many digits as it needs.
QByteArray FormatIniReal(double value);

// A text value as UTF-8. Byte-order marks are kept as characters (a decoder
// that drops a leading one would let the next save write a different text);
// invalid bytes, also an incomplete sequence at the end, become replacement
// characters.
QString ParseIniText(QByteArrayView text);

}  // namespace qvm
