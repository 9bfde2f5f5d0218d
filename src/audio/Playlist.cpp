#include "audio/Playlist.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>

namespace qvm::audio {

namespace {

std::string lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) {
        s.remove_prefix(1);
    }
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) {
        s.remove_suffix(1);
    }
    return s;
}

bool startsWithNoCase(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && lower(s.substr(0, prefix.size())) == prefix;
}

std::vector<std::string_view> lines(std::string_view text) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
    }
    std::vector<std::string_view> out;
    while (!text.empty()) {
        const std::size_t end = text.find_first_of("\r\n");
        out.push_back(trim(text.substr(0, end)));
        if (end == std::string_view::npos) {
            break;
        }
        text.remove_prefix(end + 1);
    }
    return out;
}

std::string decodeXmlText(std::string_view s) {
    static const std::pair<std::string_view, char> kEntities[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        bool replaced = false;
        if (s[i] == '&') {
            for (const auto& [name, ch] : kEntities) {
                if (s.substr(i, name.size()) == name) {
                    out += ch;
                    i += name.size();
                    replaced = true;
                    break;
                }
            }
        }
        if (!replaced) {
            out += s[i++];
        }
    }
    return out;
}

// Line ends and other control characters: no URL holds them, and one passed
// on would put them into a request line (binary served as a playlist, a
// location broken over lines).
bool hasControlCharacters(std::string_view s) {
    return std::any_of(s.begin(), s.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b < 0x20 || b == 0x7F;
    });
}

// Scheme and authority ("http://host:port"), or empty.
std::string_view origin(std::string_view url) {
    const std::size_t scheme = url.find("://");
    if (scheme == std::string_view::npos) {
        return {};
    }
    const std::size_t path = url.find_first_of("/?#", scheme + 3);
    return url.substr(0, path);
}

}  // namespace

DocKind KindFromContentType(std::string_view contentType) {
    std::string t = lower(trim(contentType.substr(0, contentType.find(';'))));
    if (t == "audio/x-scpls" || t == "audio/scpls" || t == "application/pls+xml" ||
        t == "application/pls") {
        return DocKind::Pls;
    }
    if (t == "audio/x-mpegurl" || t == "audio/mpegurl" || t == "application/x-mpegurl") {
        return DocKind::M3u;
    }
    if (t == "application/vnd.apple.mpegurl") {
        return DocKind::Hls;
    }
    if (t == "application/xspf+xml") {
        return DocKind::Xspf;
    }
    if (t == "text/html" || t == "application/xhtml+xml") {
        return DocKind::Html;
    }
    return DocKind::Unknown;
}

DocKind KindFromUrl(std::string_view url) {
    const std::string_view o = origin(url);
    std::string_view path = url.substr(o.size());
    path = path.substr(0, path.find_first_of("?#"));
    const std::size_t dot = path.rfind('.');
    if (dot == std::string_view::npos || path.find('/', dot) != std::string_view::npos) {
        return DocKind::Unknown;
    }
    const std::string ext = lower(path.substr(dot + 1));
    if (ext == "pls") {
        return DocKind::Pls;
    }
    if (ext == "m3u" || ext == "m3u8") {
        return DocKind::M3u;
    }
    if (ext == "xspf") {
        return DocKind::Xspf;
    }
    return DocKind::Unknown;
}

DocKind SniffKind(std::string_view head) {
    if (head.substr(0, 3) == "\xEF\xBB\xBF") {
        head.remove_prefix(3);
    }
    head = trim(head);
    if (startsWithNoCase(head, "[playlist]")) {
        return DocKind::Pls;
    }
    if (startsWithNoCase(head, "#extm3u")) {
        return DocKind::M3u;
    }
    const std::string l = lower(head.substr(0, 512));
    if (l.starts_with("<!doctype html") || l.starts_with("<html") ||
        (l.starts_with("<") && l.find("<html") != std::string::npos)) {
        return DocKind::Html;
    }
    if (l.starts_with("<?xml") && l.find("<playlist") != std::string::npos) {
        return DocKind::Xspf;
    }
    return DocKind::Unknown;
}

bool IsHlsPlaylist(std::string_view text) {
    for (std::string_view line : lines(text)) {
        if (startsWithNoCase(line, "#ext-x-")) {
            return true;
        }
    }
    return false;
}

bool IsHttpUrl(std::string_view url) {
    return startsWithNoCase(url, "http://") || startsWithNoCase(url, "https://");
}

std::string ResolveUrl(std::string_view base, std::string_view ref) {
    const std::size_t colon = ref.find("://");
    if (colon != std::string_view::npos &&
        std::all_of(ref.begin(), ref.begin() + static_cast<std::ptrdiff_t>(colon),
                    [](char c) {
                        return std::isalnum(static_cast<unsigned char>(c)) || c == '+' ||
                               c == '-' || c == '.';
                    }) &&
        colon > 0) {
        return std::string(ref);
    }
    const std::string_view o = origin(base);
    if (o.empty()) {
        return std::string(ref);
    }
    if (ref.starts_with("//")) {
        return std::string(o.substr(0, o.find("://") + 1)) + std::string(ref);
    }
    if (ref.starts_with("/")) {
        return std::string(o) + std::string(ref);
    }
    std::string_view path = base.substr(o.size());
    path = path.substr(0, path.find_first_of("?#"));
    const std::size_t slash = path.rfind('/');
    const std::string_view dir = slash == std::string_view::npos ? "/" : path.substr(0, slash + 1);
    return std::string(o) + std::string(dir) + std::string(ref);
}

std::vector<std::string> ParsePlaylist(DocKind kind, std::string_view text,
                                       std::string_view baseUrl) {
    std::vector<std::string> raw;
    if (kind == DocKind::Pls) {
        // FileN=... in the order of N; lines without a number keep their place after.
        std::multimap<long, std::string> byNumber;
        for (std::string_view line : lines(text)) {
            if (!startsWithNoCase(line, "file")) {
                continue;
            }
            const std::size_t eq = line.find('=');
            if (eq == std::string_view::npos) {
                continue;
            }
            const std::string number(trim(line.substr(4, eq - 4)));
            char* end = nullptr;
            const long n = std::strtol(number.c_str(), &end, 10);
            if (number.empty() || end == nullptr || *end != '\0') {
                continue;
            }
            byNumber.emplace(n, std::string(trim(line.substr(eq + 1))));
        }
        for (auto& [n, url] : byNumber) {
            raw.push_back(std::move(url));
        }
    } else if (kind == DocKind::M3u) {
        for (std::string_view line : lines(text)) {
            if (!line.empty() && line.front() != '#') {
                raw.emplace_back(line);
            }
        }
    } else if (kind == DocKind::Xspf) {
        std::size_t at = 0;
        while ((at = text.find("<location>", at)) != std::string_view::npos) {
            at += 10;
            const std::size_t end = text.find("</location>", at);
            if (end == std::string_view::npos) {
                break;
            }
            raw.push_back(decodeXmlText(trim(text.substr(at, end - at))));
            at = end;
        }
    }
    std::vector<std::string> out;
    for (const std::string& entry : raw) {
        if (entry.empty()) {
            continue;
        }
        std::string url = ResolveUrl(baseUrl, entry);
        if (IsHttpUrl(url) && !hasControlCharacters(url)) {
            out.push_back(std::move(url));
        }
    }
    return out;
}

}  // namespace qvm::audio
