// Arbitrary bytes as a fetched document: its kind from the first bytes, from
// its first line as a Content-Type and as a URL, and its entries read as
// every kind of playlist against a few playlist addresses (the document's own
// first line among them). Aborts when an entry that comes back is not an
// http or https URL a request can carry, or when a URL that comes back does
// not resolve to itself.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "audio/Playlist.h"

namespace {

using namespace qvm::audio;

void Require(bool condition, const char* what, std::string_view detail = {}) {
    if (!condition) {
        const std::string shown(detail);  // an empty view may hold no pointer at all
        std::fprintf(stderr, "playlist_fuzzer: %s: %s\n", what, shown.c_str());
        std::abort();
    }
}

// No line ends, no other control characters: a request line holds it whole.
bool PrintableUrl(std::string_view url) {
    for (const char c : url) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F) {
            return false;
        }
    }
    return true;
}

void CheckEntries(DocKind kind, std::string_view text, std::string_view base) {
    const std::vector<std::string> urls = ParsePlaylist(kind, text, base);
    Require(urls.size() <= text.size(), "more entries than bytes");
    for (const std::string& url : urls) {
        Require(IsHttpUrl(url), "an entry is not http or https", url);
        Require(PrintableUrl(url), "an entry holds control characters", url);
        Require(ResolveUrl(base, url) == url, "an absolute entry does not resolve to itself", url);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::string_view firstLine = text.substr(0, text.find_first_of("\r\n"));

    const DocKind sniffed = SniffKind(text.substr(0, 512));
    KindFromContentType(firstLine);
    KindFromUrl(firstLine);
    IsHlsPlaylist(text);

    static constexpr std::string_view kBases[] = {
        "http://radio.example:8000/listen/live.pls?sid=1",
        "https://cdn.example.org",
    };
    for (const DocKind kind : {DocKind::Pls, DocKind::M3u, DocKind::Xspf, sniffed}) {
        for (const std::string_view base : kBases) {
            CheckEntries(kind, text, base);
        }
        CheckEntries(kind, text, firstLine);
    }
    // Unknown, HTML and HLS documents give no entries of their own.
    for (const DocKind kind : {DocKind::Unknown, DocKind::Html, DocKind::Hls}) {
        Require(ParsePlaylist(kind, text, kBases[0]).empty(), "entries from no playlist");
    }

    // A reference resolved against a base: the reference itself or built on
    // the base's scheme.
    const std::string_view rest = text.substr(std::min(text.size(), firstLine.size() + 1));
    const std::string_view ref = rest.substr(0, rest.find_first_of("\r\n"));
    const std::string resolved = ResolveUrl(firstLine, ref);
    Require(resolved.size() <= firstLine.size() + ref.size() + 1, "a resolved URL grew");
    return 0;
}
