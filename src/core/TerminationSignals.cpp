#include "core/TerminationSignals.h"

#include <fcntl.h>
#include <unistd.h>
#include <array>
#include <cerrno>
#include <csignal>

namespace qvm {

namespace {

// SIGHUP: the terminal the player was started from has closed.
constexpr std::array<int, 3> kSignals = {SIGTERM, SIGINT, SIGHUP};

// The pipe's write end, read by the handler. Set before the handlers are
// installed and cleared after they are removed, so the handler never sees a
// closed descriptor.
volatile sig_atomic_t g_writeFd = -1;
int g_readFd = -1;
std::array<struct sigaction, kSignals.size()> g_previous{};

void OnSignal(int signal) {
    const int saved = errno;
    const int fd = g_writeFd;
    if (fd >= 0) {
        const auto byte = static_cast<unsigned char>(signal);
        // A full pipe already holds a pending request: dropping this one is fine.
        [[maybe_unused]] const ssize_t n = ::write(fd, &byte, 1);
    }
    errno = saved;
}

}  // namespace

TerminationSignals::TerminationSignals(QObject* parent) : QObject(parent) {
    if (g_readFd >= 0) {
        return;  // another object owns the handlers
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    g_readFd = fds[0];
    g_writeFd = fds[1];
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
        struct sigaction action {};
        action.sa_handler = &OnSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(kSignals[i], &action, &g_previous[i]);
    }
    m_notifier = std::make_unique<QSocketNotifier>(g_readFd, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] { drain(); });
}

TerminationSignals::~TerminationSignals() {
    if (!m_notifier) {
        return;
    }
    m_notifier.reset();
    for (std::size_t i = 0; i < kSignals.size(); ++i) {
        ::sigaction(kSignals[i], &g_previous[i], nullptr);
    }
    const int writeFd = g_writeFd;
    g_writeFd = -1;
    ::close(writeFd);
    ::close(g_readFd);
    g_readFd = -1;
}

void TerminationSignals::drain() {
    unsigned char buffer[16];
    int last = 0;
    for (;;) {
        const ssize_t n = ::read(g_readFd, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        last = buffer[n - 1];
    }
    if (last != 0) {
        emit terminationRequested(last);
    }
}

}  // namespace qvm
