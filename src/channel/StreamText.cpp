#include "channel/StreamText.h"

#include <QStringDecoder>
#include <algorithm>
#include <cctype>

#include "config/Settings.h"
#include "core/Helpers.h"
#include "lang/Language.h"
#include "lang/LanguageKeys.h"

namespace qvm {

namespace {

constexpr std::string_view kTitleKey = "StreamTitle=";

// A metadata field name: letters only, then "=" (StreamUrl=, StreamTitle=).
bool StartsWithField(std::string_view text) {
    std::size_t n = 0;
    while (n < text.size() && std::isalpha(static_cast<unsigned char>(text[n])) != 0) {
        ++n;
    }
    return n > 0 && n < text.size() && text[n] == '=';
}

// Windows-1252 code points for 0x80..0x9F; the rest of the upper half is Latin-1.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

QString FromCp1252(std::string_view raw) {
    QString out;
    out.reserve(static_cast<qsizetype>(raw.size()));
    for (const char c : raw) {
        const auto b = static_cast<unsigned char>(c);
        out.append(b >= 0x80 && b < 0xA0 ? QChar(kCp1252High[b - 0x80]) : QChar(char16_t{b}));
    }
    return out;
}

}  // namespace

std::optional<std::string> ParseStreamTitle(std::string_view meta) {
    const std::size_t key = meta.find(kTitleKey);
    if (key == std::string_view::npos) {
        return std::nullopt;
    }
    std::size_t start = key + kTitleKey.size();
    const bool quoted = start < meta.size() && meta[start] == '\'';
    if (quoted) {
        ++start;
    }
    const std::string_view rest = meta.substr(start);
    if (!quoted) {
        // Unquoted value: up to the next semicolon.
        return std::string(rest.substr(0, rest.find(';')));
    }
    // The closing quote-semicolon is the one followed by the end of the text or
    // by the next field; a "';" inside the title is followed by neither.
    std::size_t lastClose = std::string_view::npos;
    for (std::size_t p = rest.find("';"); p != std::string_view::npos; p = rest.find("';", p + 1)) {
        const std::string_view after = rest.substr(p + 2);
        if (after.find_first_not_of(" \r\n") == std::string_view::npos || StartsWithField(after)) {
            return std::string(rest.substr(0, p));
        }
        lastClose = p;
    }
    if (lastClose != std::string_view::npos) {
        return std::string(rest.substr(0, lastClose));
    }
    // No semicolon after the title: up to its closing quote, or everything.
    std::string_view title = rest;
    while (!title.empty() && (title.back() == '\0' || title.back() == ' ')) {
        title.remove_suffix(1);
    }
    if (!title.empty() && title.back() == '\'') {
        title.remove_suffix(1);
    }
    return std::string(title);
}

QString DecodeStreamText(std::string_view raw, int maxBytes) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(QByteArrayView(raw.data(), static_cast<qsizetype>(raw.size())));
    if (utf8.hasError()) {
        text = FromCp1252(raw);
    }
    return CutUtf8(text, maxBytes);
}

StreamHeaders ParseStreamHeaders(const std::vector<std::string>& lines) {
    static constexpr std::string_view kName = "icy-name:";
    static constexpr std::string_view kBitrate = "icy-br:";
    StreamHeaders headers;
    for (const std::string& line : lines) {
        const std::string_view l = line;
        if (l.starts_with(kName)) {
            headers.station = DecodeStreamText(l.substr(kName.size()), kLongTextBytes);
        } else if (l.starts_with(kBitrate)) {
            headers.bitrate = DecodeStreamText(l.substr(kBitrate.size()), kBitrateTextBytes);
        }
    }
    return headers;
}

QString BitrateLine(const TLanguage& language, const QString& bitrateText, std::uint32_t chans) {
    if (chans == 0) {
        return (bitrateText + QLatin1Char(' ')).trimmed();
    }
    const LanguageKey& word = chans == 1 ? keys::msg::Mono : keys::msg::Stereo;
    return bitrateText + QLatin1Char(' ') + language.Text(word);
}

QString ErrorText(const TLanguage& language, std::int32_t code) {
    const LanguageKey* key = ErrorTextKey(code);
    const QString message = key != nullptr ? language.Text(*key) : QString();
    return language.Text(keys::error::Code) + QLatin1Char(' ') + QString::number(code) +
           QStringLiteral(". ") + message;
}

bool IsHlsUrl(std::string_view url) {
    static constexpr std::string_view kHls = ".M3U8";
    const auto it = std::search(
        url.begin(), url.end(), kHls.begin(), kHls.end(),
        [](char a, char b) { return std::toupper(static_cast<unsigned char>(a)) == b; });
    return it != url.end();
}

}  // namespace qvm
