#pragma once

#include <chrono>
#include <cstddef>
#include <string>

// Socket steps of the test servers. Every wait also watches the server's stop
// descriptor (an eventfd that becomes readable once, for good), so no thread
// of a stopping server stays blocked.
namespace qvm::test::io {

enum class Wait { Ready, TimedOut, Stopped, Failed };

// Sends everything on a non-blocking socket (MSG_NOSIGNAL: a closed peer gives
// an error, not SIGPIPE). False when the peer went away or the server stops.
bool SendAll(int fd, int stopFd, const void* data, std::size_t size);
inline bool SendAll(int fd, int stopFd, const std::string& text) {
    return SendAll(fd, stopFd, text.data(), text.size());
}

// Waits for readable data on `fd` (or only for the stop when fd < 0).
Wait WaitReadable(int fd, int stopFd, std::chrono::milliseconds timeout);

// Sleeps, waking early when the server stops; true when it stops.
bool SleepOrStop(int stopFd, std::chrono::steady_clock::duration duration);
// Sleeps until the server stops.
void WaitForStop(int stopFd);

bool IsStopped(int stopFd);

// A TCP socket bound to 127.0.0.1:port (SO_REUSEADDR), listening when asked;
// -1 on failure.
int BindLoopback(int port, bool listen);
// The port a socket is bound to, 0 on failure.
int BoundPort(int fd);
// A port on 127.0.0.1 that nothing listens on now (0 when none could be had).
int FreeLoopbackPort();

}  // namespace qvm::test::io
