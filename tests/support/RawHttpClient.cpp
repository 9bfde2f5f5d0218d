#include "support/RawHttpClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qvm::test {

RawHttpClient::RawHttpClient(std::uint16_t port)
    : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    m_connected =
        m_fd >= 0 && ::connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
}

RawHttpClient::~RawHttpClient() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

bool RawHttpClient::send(const std::string& data) const {
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(m_fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

void RawHttpClient::endSending() const {
    ::shutdown(m_fd, SHUT_WR);
}

std::optional<std::string> RawHttpClient::readAll(std::chrono::milliseconds timeout) const {
    using Clock = std::chrono::steady_clock;
    std::string all;
    const auto end = Clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        pollfd p{m_fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
            return std::nullopt;
        }
        char buffer[4096];
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            return all;
        }
        all.append(buffer, static_cast<std::size_t>(n));
    }
}

std::optional<std::string> HttpExchange(std::uint16_t port, const std::string& request,
                                        std::chrono::milliseconds timeout) {
    const RawHttpClient client(port);
    if (!client.connected() || !client.send(request)) {
        return std::nullopt;
    }
    return client.readAll(timeout);
}

std::string HttpBody(const std::string& answer) {
    const std::size_t end = answer.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : answer.substr(end + 4);
}

}  // namespace qvm::test
