#include "support/CuttingProxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <stdexcept>

#include "support/SocketIo.h"

namespace qvm::test {

namespace {

int ConnectLoopback(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Copies what is readable on `from` to `to`; false once either side is done.
bool Pass(int from, int to) {
    char buffer[16384];
    const ssize_t got = ::recv(from, buffer, sizeof buffer, 0);
    if (got <= 0) {
        return got < 0 && (errno == EINTR || errno == EAGAIN);
    }
    std::size_t sent = 0;
    while (sent < static_cast<std::size_t>(got)) {
        const ssize_t n =
            ::send(to, buffer + sent, static_cast<std::size_t>(got) - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

CuttingProxy::CuttingProxy(int upstreamPort) : m_upstreamPort(upstreamPort) {
    m_stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_listenFd = io::BindLoopback(0, true);
    if (m_stopFd < 0 || m_listenFd < 0) {
        for (int fd : {m_stopFd, m_listenFd}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        throw std::runtime_error("the proxy cannot listen on 127.0.0.1");
    }
    m_port = io::BoundPort(m_listenFd);
    m_acceptor = std::thread([this] { acceptLoop(); });
}

CuttingProxy::~CuttingProxy() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_stopFd, &one, sizeof one);
    m_acceptor.join();
    cut();
    std::list<std::thread> relays;
    {
        std::lock_guard lock(m_mutex);
        relays.swap(m_relays);
    }
    for (std::thread& relay : relays) {
        relay.join();
    }
    for (int fd : m_hung) {
        ::close(fd);
    }
    ::close(m_listenFd);
    ::close(m_stopFd);
}

std::string CuttingProxy::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

void CuttingProxy::cut() {
    std::lock_guard lock(m_mutex);
    for (int fd : m_open) {
        ::shutdown(fd, SHUT_RDWR);
    }
}

void CuttingProxy::acceptLoop() {
    for (;;) {
        pollfd pfds[2] = {{m_stopFd, POLLIN, 0}, {m_listenFd, POLLIN, 0}};
        if (::poll(pfds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (pfds[0].revents != 0) {
            return;
        }
        const int client = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            continue;
        }
        if (m_refusing.load()) {
            m_refused.fetch_add(1);
            ::close(client);
            continue;
        }
        if (m_hanging.load()) {
            m_refused.fetch_add(1);
            m_hung.push_back(client);
            continue;
        }
        std::lock_guard lock(m_mutex);
        m_relays.emplace_back([this, client] { relay(client); });
    }
}

void CuttingProxy::relay(int client) {
    const int upstream = ConnectLoopback(m_upstreamPort);
    if (upstream < 0) {
        ::close(client);
        return;
    }
    {
        std::lock_guard lock(m_mutex);
        m_open.push_back(client);
        m_open.push_back(upstream);
    }
    m_relayed.fetch_add(1);
    for (;;) {
        pollfd pfds[3] = {{m_stopFd, POLLIN, 0}, {client, POLLIN, 0}, {upstream, POLLIN, 0}};
        if (::poll(pfds, 3, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if (pfds[0].revents != 0) {
            break;
        }
        if (pfds[1].revents != 0 && !Pass(client, upstream)) {
            break;
        }
        if (pfds[2].revents != 0 && !Pass(upstream, client)) {
            break;
        }
    }
    {
        std::lock_guard lock(m_mutex);
        m_open.erase(std::remove_if(m_open.begin(), m_open.end(),
                                    [&](int fd) { return fd == client || fd == upstream; }),
                     m_open.end());
    }
    ::close(client);
    ::close(upstream);
}

}  // namespace qvm::test
