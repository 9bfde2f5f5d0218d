#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Just enough HTTP for the test servers and their clients: a request-head
// parser with hard limits and a blocking GET client with time-outs.
namespace qvm::test {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// The value of the first header called `name` (ASCII case-insensitive), or empty.
std::string FindHeader(const HeaderList& headers, std::string_view name);

struct RequestHead {
    std::string method;   // "GET"
    std::string target;   // as sent, with the query
    std::string path;     // target without the query
    std::string version;  // "HTTP/1.1"
    HeaderList headers;   // in the order received
    std::string header(std::string_view name) const { return FindHeader(headers, name); }
};

enum class HeadParse {
    Incomplete,  // no blank line yet
    Ok,
    Bad,       // malformed request line or header line
    TooLarge,  // over kMaxRequestHead bytes or kMaxHeaders lines
};

inline constexpr std::size_t kMaxRequestHead = 16384;
inline constexpr std::size_t kMaxHeaders = 100;

// Parses the request line and headers from the start of `data`.
HeadParse ParseRequestHead(std::string_view data, RequestHead& head);

// "http://host:port/path?query": false when it is not of that shape.
bool SplitHttpUrl(const std::string& url, std::string& host, int& port, std::string& target);

struct FetchOptions {
    HeaderList headers;  // extra request headers
    std::string method = "GET";
    std::chrono::milliseconds timeout{5000};  // connect plus the whole exchange
    std::size_t maxBody = 1 << 20;            // stop reading after this many body bytes
    // Called with each piece of the body as it arrives; return false to stop.
    std::function<bool(const char* data, std::size_t size)> onBody;
};

struct FetchResult {
    bool ok = false;    // a status line was received
    std::string error;  // why not, when !ok ("connection refused", "timed out", ...)
    int status = 0;
    std::string statusLine;
    HeaderList headers;
    std::string body;           // up to maxBody bytes (also when onBody is given)
    bool closedByPeer = false;  // the body ended because the server closed the socket
    std::string header(std::string_view name) const { return FindHeader(headers, name); }
};

// One HTTP/1.0 request on a fresh connection. Never throws; never waits longer
// than `timeout`.
FetchResult Fetch(const std::string& url, const FetchOptions& options = {});

// "A B" -> "A%20B": percent-encodes everything but unreserved characters.
std::string PercentEncode(std::string_view text);

// Standard base64, for Basic authentication.
std::string Base64(std::string_view bytes);

}  // namespace qvm::test
