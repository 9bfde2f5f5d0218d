#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qvm::audio {

// What a fetched document is, as far as opening a stream cares.
enum class DocKind {
    Unknown,  // audio, or something the demuxer must judge
    Pls,
    M3u,  // may turn out to be an HLS playlist (see IsHlsPlaylist)
    Xspf,
    Hls,
    Html,
};

// From a Content-Type value ("audio/x-scpls; charset=utf-8"), any case.
DocKind KindFromContentType(std::string_view contentType);
// From the extension of the URL's path (before any query or fragment).
DocKind KindFromUrl(std::string_view url);
// From the first bytes of a body.
DocKind SniffKind(std::string_view head);
// An M3U text that is really an HLS playlist (#EXT-X- tags).
bool IsHlsPlaylist(std::string_view text);

// The stream addresses of a playlist, in order, made absolute against the
// playlist's own URL; only http and https entries without control characters
// are kept.
std::vector<std::string> ParsePlaylist(DocKind kind, std::string_view text,
                                       std::string_view baseUrl);

// `ref` resolved against `base` (absolute, scheme-relative, path-absolute or relative).
std::string ResolveUrl(std::string_view base, std::string_view ref);

// Whether the URL is http:// or https:// (any case).
bool IsHttpUrl(std::string_view url);

}  // namespace qvm::audio
