#include "core/DurationFormat.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace qvm {
namespace {

struct Parts {
    std::int64_t days = 0;  // D
    int hours = 0;          // H, 0..23
    int minutes = 0;        // M
    int seconds = 0;        // S
    int tenths = 0;         // T
    int millis = 0;         // MS
};

__attribute__((format(printf, 1, 2))) QString Printf(const char* format, ...) {
    char buffer[96];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return QString::fromLatin1(buffer);
}

// The shared table of format codes. Codes 7 differ between the two callers and
// are handled by them.
QString FormatParts(std::uint32_t code, const Parts& p) {
    const long long d = p.days;
    const long long totalHours = d * 24 + p.hours;
    switch (code) {
        case 0:
            if (d == 0) {
                return Printf("%2.2d:%2.2d:%2.2d", p.hours, p.minutes, p.seconds);
            }
            [[fallthrough]];
        case 5:
            return Printf("%lld %2.2d:%2.2d:%2.2d", d, p.hours, p.minutes, p.seconds);
        case 1:
            return Printf("%2.2lld:%2.2d:%2.2d", totalHours, p.minutes, p.seconds);
        case 2:
            return Printf("%2.2lld:%2.2d", totalHours, p.minutes);
        case 3:
            return Printf("%2.2lld:%2.2d", totalHours * 60 + p.minutes, p.seconds);
        case 4:
            return Printf("%2.2lld:%2.2d:%2.2d.%1.1d", totalHours, p.minutes, p.seconds, p.tenths);
        case 6:
            return Printf("%2.2lld:%2.2d.%1.1d", totalHours * 60 + p.minutes, p.seconds, p.tenths);
        case 8:
            return Printf("%2.2lld:%2.2d:%2.2d.%3.3d", totalHours, p.minutes, p.seconds, p.millis);
        case 9:
            return Printf("%2.2d:%2.2d.%3.3d", p.minutes, p.seconds, p.millis);
        default:
            return QStringLiteral("!FORMAT!");
    }
}

}  // namespace

QString FormatDays(std::uint32_t code, double days) {
    double v = (days < 0 || std::isnan(days)) ? 0.0 : days;
    if (v > 1.0e7) {
        v = 1.0e7;  // far beyond any duration shown; keeps the integer maths exact
    }
    Parts p;
    p.days = v >= 1.0 ? static_cast<std::int64_t>(std::trunc(v)) : 0;
    // The fraction as a time of day, rounded to the nearest millisecond; a
    // fraction that rounds up to midnight carries into the day count.
    auto ms =
        static_cast<std::int64_t>(std::llround((v - static_cast<double>(p.days)) * 86400000.0));
    if (ms >= 86400000) {
        ms -= 86400000;
        p.days += 1;
    }
    p.hours = static_cast<int>(ms / 3600000);
    p.minutes = static_cast<int>(ms / 60000 % 60);
    p.seconds = static_cast<int>(ms / 1000 % 60);
    p.millis = static_cast<int>(ms % 1000);
    p.tenths = p.millis / 100;
    if (code == 7) {
        return Printf("%5d", (p.hours * 60 + p.minutes) * 60 + p.seconds);
    }
    return FormatParts(code, p);
}

QString FormatSeconds(std::uint32_t code, double seconds) {
    if (std::isnan(seconds)) {
        seconds = 0;
    }
    const bool negative = seconds < 0;
    double a = std::fabs(seconds) + 0.0004;
    if (a > 4.0e12) {
        a = 4.0e12;  // far beyond any duration shown; keeps the integer maths exact
    }
    Parts p;
    const double total = std::trunc(a);
    p.days = total >= 86400.0 ? static_cast<std::int64_t>(total / 86400.0) : 0;
    const double f = a - static_cast<double>(p.days) * 86400.0;
    const auto s = static_cast<std::int64_t>(std::trunc(f));
    p.hours = static_cast<int>(s / 3600);
    p.minutes = static_cast<int>((s - std::int64_t{p.hours} * 3600) / 60);
    p.seconds = static_cast<int>(s % 60);
    p.tenths = static_cast<int>(std::trunc((f - static_cast<double>(s)) * 10));
    p.millis = static_cast<int>(std::trunc((f - static_cast<double>(s)) * 1000));
    QString text;
    if (code == 7) {
        text = Printf("%2.2lld", static_cast<long long>(
                                     ((p.days * 24 + p.hours) * 60 + p.minutes) * 60 + p.seconds));
    } else {
        text = FormatParts(code, p);
    }
    return negative ? QLatin1Char('-') + text : text;
}

}  // namespace qvm
