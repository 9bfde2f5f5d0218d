#include "support/SocketIo.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <limits>

namespace qvm::test::io {
namespace {

using Clock = std::chrono::steady_clock;

int PollMs(Clock::duration d) {
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(d).count();
    if (ms <= 0) {
        return 0;
    }
    return static_cast<int>(std::min<long long>(ms, std::numeric_limits<int>::max()));
}

}  // namespace

bool IsStopped(int stopFd) {
    pollfd pfd{stopFd, POLLIN, 0};
    return ::poll(&pfd, 1, 0) > 0;
}

bool SendAll(int fd, int stopFd, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::send(fd, bytes, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            bytes += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return false;
        }
        // The client reads slower than we send: wait for room, the stop, or a
        // hang-up. A client that reads nothing for a minute is given up.
        pollfd pfds[2] = {{fd, POLLOUT, 0}, {stopFd, POLLIN, 0}};
        const int ready = ::poll(pfds, 2, 60000);
        if (ready <= 0 || (pfds[1].revents & POLLIN) || (pfds[0].revents & (POLLERR | POLLHUP))) {
            return false;
        }
    }
    return !IsStopped(stopFd);
}

Wait WaitReadable(int fd, int stopFd, std::chrono::milliseconds timeout) {
    const Clock::time_point deadline = Clock::now() + timeout;
    while (true) {
        pollfd pfds[2] = {{stopFd, POLLIN, 0}, {fd, POLLIN, 0}};
        const int ready = ::poll(pfds, fd >= 0 ? 2 : 1, PollMs(deadline - Clock::now()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            return Wait::Failed;
        }
        if (pfds[0].revents & POLLIN) {
            return Wait::Stopped;
        }
        if (ready > 0) {
            return Wait::Ready;
        }
        if (Clock::now() >= deadline) {
            return Wait::TimedOut;
        }
    }
}

bool SleepOrStop(int stopFd, Clock::duration duration) {
    const Clock::time_point deadline = Clock::now() + duration;
    while (true) {
        pollfd pfd{stopFd, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, PollMs(deadline - Clock::now()));
        if (ready > 0) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
    }
}

void WaitForStop(int stopFd) {
    while (true) {
        pollfd pfd{stopFd, POLLIN, 0};
        if (::poll(&pfd, 1, -1) > 0) {
            return;
        }
    }
}

int BindLoopback(int port, bool listen) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return -1;
    }
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
        (listen && ::listen(fd, 64) != 0)) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int BoundPort(int fd) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        return 0;
    }
    return ntohs(addr.sin_port);
}

int FreeLoopbackPort() {
    const int fd = BindLoopback(0, false);
    if (fd < 0) {
        return 0;
    }
    const int port = BoundPort(fd);
    ::close(fd);
    return port;
}

}  // namespace qvm::test::io
