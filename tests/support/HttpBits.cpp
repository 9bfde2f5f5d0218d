#include "support/HttpBits.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace qvm::test {
namespace {

using Clock = std::chrono::steady_clock;

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z') {
            x = static_cast<char>(x - 'A' + 'a');
        }
        if (y >= 'A' && y <= 'Z') {
            y = static_cast<char>(y - 'A' + 'a');
        }
        if (x != y) {
            return false;
        }
    }
    return true;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

// Splits "Name: value" lines (each without its line end) into the list.
bool ParseHeaderLines(std::string_view block, HeaderList& headers) {
    while (!block.empty()) {
        const std::size_t end = block.find('\n');
        std::string_view line = block.substr(0, end);
        block = end == std::string_view::npos ? std::string_view{} : block.substr(end + 1);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.empty()) {
            continue;
        }
        const std::size_t colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) {
            return false;
        }
        if (headers.size() >= kMaxHeaders) {
            return false;
        }
        headers.emplace_back(std::string(Trim(line.substr(0, colon))),
                             std::string(Trim(line.substr(colon + 1))));
    }
    return true;
}

int RemainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

class Socket {
  public:
    explicit Socket(int fd) : m_fd(fd) {}
    ~Socket() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return m_fd; }

  private:
    int m_fd;
};

}  // namespace

std::string FindHeader(const HeaderList& headers, std::string_view name) {
    for (const auto& [key, value] : headers) {
        if (EqualsNoCase(key, name)) {
            return value;
        }
    }
    return {};
}

HeadParse ParseRequestHead(std::string_view data, RequestHead& head) {
    std::size_t end = data.find("\r\n\r\n");
    std::size_t endLength = 4;
    if (end == std::string_view::npos) {
        end = data.find("\n\n");
        endLength = 2;
    }
    if (end == std::string_view::npos) {
        return data.size() > kMaxRequestHead ? HeadParse::TooLarge : HeadParse::Incomplete;
    }
    if (end + endLength > kMaxRequestHead) {
        return HeadParse::TooLarge;
    }
    std::string_view block = data.substr(0, end);
    const std::size_t lineEnd = block.find('\n');
    std::string_view requestLine = Trim(block.substr(0, lineEnd));
    block = lineEnd == std::string_view::npos ? std::string_view{} : block.substr(lineEnd + 1);

    const std::size_t sp1 = requestLine.find(' ');
    const std::size_t sp2 = sp1 == std::string_view::npos ? sp1 : requestLine.find(' ', sp1 + 1);
    if (sp1 == std::string_view::npos || sp2 == std::string_view::npos) {
        return HeadParse::Bad;
    }
    head = RequestHead{};
    head.method = std::string(requestLine.substr(0, sp1));
    head.target = std::string(requestLine.substr(sp1 + 1, sp2 - sp1 - 1));
    head.version = std::string(requestLine.substr(sp2 + 1));
    if (head.method.empty() || head.target.empty() || head.target.front() != '/' ||
        head.version.rfind("HTTP/", 0) != 0) {
        return HeadParse::Bad;
    }
    head.path = head.target.substr(0, head.target.find('?'));
    if (!ParseHeaderLines(block, head.headers)) {
        return head.headers.size() >= kMaxHeaders ? HeadParse::TooLarge : HeadParse::Bad;
    }
    return HeadParse::Ok;
}

bool SplitHttpUrl(const std::string& url, std::string& host, int& port, std::string& target) {
    const std::string scheme = "http://";
    if (url.rfind(scheme, 0) != 0) {
        return false;
    }
    const std::size_t slash = url.find('/', scheme.size());
    const std::string authority = url.substr(scheme.size(), slash - scheme.size());
    target = slash == std::string::npos ? "/" : url.substr(slash);
    const std::size_t colon = authority.rfind(':');
    host = authority.substr(0, colon);
    port = 80;
    if (colon != std::string::npos) {
        const std::string digits = authority.substr(colon + 1);
        if (digits.empty() || digits.size() > 5 ||
            digits.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        port = std::stoi(digits);
    }
    return !host.empty() && port > 0 && port < 65536;
}

FetchResult Fetch(const std::string& url, const FetchOptions& options) {
    FetchResult result;
    const Clock::time_point deadline = Clock::now() + options.timeout;
    std::string host;
    std::string target;
    int port = 0;
    if (!SplitHttpUrl(url, host, port, target)) {
        result.error = "not an http URL: " + url;
        return result;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found) {
        result.error = "unknown host " + host;
        return result;
    }
    Socket sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    const int rc = sock.fd() < 0 ? -1 : ::connect(sock.fd(), found->ai_addr, found->ai_addrlen);
    freeaddrinfo(found);
    if (rc != 0 && errno != EINPROGRESS) {
        result.error = std::string("connect: ") + std::strerror(errno);
        return result;
    }
    pollfd pfd{sock.fd(), POLLOUT, 0};
    if (::poll(&pfd, 1, RemainingMs(deadline)) <= 0) {
        result.error = "timed out connecting";
        return result;
    }
    int soError = 0;
    socklen_t len = sizeof soError;
    getsockopt(sock.fd(), SOL_SOCKET, SO_ERROR, &soError, &len);
    if (soError != 0) {
        result.error = soError == ECONNREFUSED ? "connection refused"
                                               : std::string("connect: ") + std::strerror(soError);
        return result;
    }

    std::string request = options.method + " " + target + " HTTP/1.0\r\nHost: " + host + ":" +
                          std::to_string(port) + "\r\n";
    for (const auto& [name, value] : options.headers) {
        request += name + ": " + value + "\r\n";
    }
    request += "\r\n";
    std::size_t sent = 0;
    while (sent < request.size()) {
        pfd = {sock.fd(), POLLOUT, 0};
        if (::poll(&pfd, 1, RemainingMs(deadline)) <= 0) {
            result.error = "timed out sending";
            return result;
        }
        const ssize_t n =
            ::send(sock.fd(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            result.error = std::string("send: ") + std::strerror(errno);
            return result;
        }
        sent += n > 0 ? static_cast<std::size_t>(n) : 0;
    }

    // Takes a piece of the body; false when the reading should stop.
    auto takeBody = [&](const char* data, std::size_t size) {
        const std::size_t take = std::min(size, options.maxBody - result.body.size());
        result.body.append(data, take);
        if (options.onBody && !options.onBody(data, size)) {
            return false;
        }
        return result.body.size() < options.maxBody;
    };

    std::string head;
    bool inBody = false;
    char chunk[16384];
    while (true) {
        pfd = {sock.fd(), POLLIN, 0};
        if (::poll(&pfd, 1, RemainingMs(deadline)) <= 0) {
            if (!result.ok) {
                result.error = "timed out waiting for the reply";
            }
            return result;
        }
        const ssize_t n = ::recv(sock.fd(), chunk, sizeof chunk, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        if (n <= 0) {
            result.closedByPeer = true;
            if (!result.ok) {
                result.error = n == 0 ? "closed without a reply" : std::strerror(errno);
            }
            return result;
        }
        if (inBody) {
            if (!takeBody(chunk, static_cast<std::size_t>(n))) {
                return result;
            }
            continue;
        }
        head.append(chunk, static_cast<std::size_t>(n));
        const std::size_t end = head.find("\r\n\r\n");
        if (end == std::string::npos) {
            if (head.size() > kMaxRequestHead) {
                result.error = "reply head too large";
                return result;
            }
            continue;
        }
        const std::string_view lines(head.data(), end);
        const std::size_t lineEnd = lines.find("\r\n");
        result.statusLine = std::string(lines.substr(0, lineEnd));
        const std::size_t sp = result.statusLine.find(' ');
        if (sp == std::string::npos) {
            result.error = "malformed status line: " + result.statusLine;
            return result;
        }
        result.status = std::atoi(result.statusLine.c_str() + sp + 1);
        if (lineEnd != std::string_view::npos) {
            ParseHeaderLines(lines.substr(lineEnd + 2), result.headers);
        }
        result.ok = true;
        inBody = true;
        if (head.size() > end + 4 && !takeBody(head.data() + end + 4, head.size() - end - 4)) {
            return result;
        }
        head.clear();
    }
}

std::string PercentEncode(std::string_view text) {
    static const char* const kHex = "0123456789ABCDEF";
    std::string out;
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') ||
            u == '-' || u == '_' || u == '.' || u == '~') {
            out += c;
        } else {
            out += '%';
            out += kHex[u >> 4];
            out += kHex[u & 15];
        }
    }
    return out;
}

std::string Base64(std::string_view bytes) {
    static const char* const kAlphabet =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    std::size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                           (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                           static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    if (i + 1 == bytes.size()) {
        const unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += "==";
    } else if (i + 2 == bytes.size()) {
        const unsigned v = (static_cast<unsigned char>(bytes[i]) << 16) |
                           (static_cast<unsigned char>(bytes[i + 1]) << 8);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

}  // namespace qvm::test
