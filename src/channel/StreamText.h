#pragma once

#include <QString>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qvm {

class TLanguage;

// The raw bytes of the title in a metadata text such as
// StreamTitle='Artist - Song';StreamUrl='';. The title runs up to the quote
// and semicolon that close it, so titles holding ";" or "'" arrive whole.
// Nothing when the text has no StreamTitle.
std::optional<std::string> ParseStreamTitle(std::string_view meta);

// Text from a stream (title, header value): UTF-8 when it is valid UTF-8,
// otherwise Windows-1252, so that what is shown and passed on is always valid
// text. Cut to `maxBytes` bytes of UTF-8 at a character boundary.
QString DecodeStreamText(std::string_view raw, int maxBytes);

// Station name and bitrate from ICY or HTTP header lines ("icy-name:…",
// "icy-br:…", compared case-sensitively, later lines win). Values are kept as
// received, a leading blank included; a header that is missing leaves its
// field unset.
struct StreamHeaders {
    std::optional<QString> station;
    std::optional<QString> bitrate;
};
StreamHeaders ParseStreamHeaders(const std::vector<std::string>& lines);

// The bitrate line of a channel page: the bitrate text, a blank and the word
// for Mono (1 channel) or Stereo (2 or more); with no channel count the bare
// bitrate text, trimmed.
QString BitrateLine(const TLanguage& language, const QString& bitrateText, std::uint32_t chans);

// The text shown and logged for an engine error code: the word for "Code", a
// blank, the code, ". " and the message of the code (none for an unknown code).
QString ErrorText(const TLanguage& language, std::int32_t code);

// URLs opened as HLS: ".M3U8" anywhere in them, in any letter case.
bool IsHlsUrl(std::string_view url);

}  // namespace qvm
