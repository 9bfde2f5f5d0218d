// Arbitrary bytes as an ICY metadata packet and as FFmpeg's block of ICY
// header lines, read the way a channel reads them. Aborts when the title is
// not a piece of the packet, a text is not valid or grows beyond its limit,
// a header line keeps its line end, or a title written between the quotes of
// a packet does not read back whole.
#include <QString>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "audio/NetInput.h"
#include "channel/StreamText.h"
#include "config/Settings.h"

namespace {

using namespace qvm;

void Require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "icy_fuzzer: %s\n", what);
        std::abort();
    }
}

void CheckText(const QString& text, std::string_view raw, int maxBytes) {
    Require(text.isValidUtf16(), "a decoded text is not valid UTF-16");
    Require(text.toUtf8().size() <= maxBytes, "a decoded text exceeds its limit");
    Require(text.size() <= static_cast<qsizetype>(raw.size()), "a decoded text grew");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view meta(reinterpret_cast<const char*>(data), size);

    // The metadata packet, as DoMeta reads it.
    if (const std::optional<std::string> title = ParseStreamTitle(meta)) {
        Require(meta.find(*title) != std::string_view::npos, "the title is not in the packet");
        CheckText(DecodeStreamText(*title, kLongTextBytes), *title, kLongTextBytes);
    }
    CheckText(DecodeStreamText(meta, kLongTextBytes), meta, kLongTextBytes);
    CheckText(DecodeStreamText(meta, kBitrateTextBytes), meta, kBitrateTextBytes);
    // Valid UTF-8 within the limit comes through unchanged.
    const QString asUtf8 = QString::fromUtf8(meta.data(), static_cast<qsizetype>(meta.size()));
    if (meta.size() <= static_cast<std::size_t>(kLongTextBytes) &&
        asUtf8.toUtf8() == QByteArrayView(meta.data(), static_cast<qsizetype>(meta.size()))) {
        Require(DecodeStreamText(meta, kLongTextBytes) == asUtf8, "valid UTF-8 was changed");
    }

    // Whatever a server puts between the quotes, short of the closing "';",
    // is the title, with or without a StreamUrl after it and with the zero
    // padding of the packet.
    const std::string_view inner = meta.substr(0, meta.find("';"));
    const std::string quoted = "StreamTitle='" + std::string(inner) + "';";
    for (const std::string& packet :
         {quoted, quoted + "StreamUrl='http://radio.example/';", quoted + std::string(3, '\0')}) {
        const std::optional<std::string> back = ParseStreamTitle(packet);
        Require(back && *back == inner, "a quoted title does not read back whole");
    }

    // The header block, as the engine and GetHTTPInfo read it.
    const std::vector<std::string> lines = audio::IcyHeaderLines(std::string(meta));
    for (const std::string& line : lines) {
        Require(!line.empty() && line.find('\n') == std::string::npos && line.back() != '\r',
                "a header line is empty or keeps a line end");
    }
    const StreamHeaders headers = ParseStreamHeaders(lines);
    if (headers.station) {
        Require(headers.station->toUtf8().size() <= kLongTextBytes, "station name too long");
        Require(headers.station->isValidUtf16(), "station name not valid");
    }
    if (headers.bitrate) {
        Require(headers.bitrate->toUtf8().size() <= kBitrateTextBytes, "bitrate text too long");
        Require(headers.bitrate->isValidUtf16(), "bitrate text not valid");
    }
    IsHlsUrl(meta);
    return 0;
}
