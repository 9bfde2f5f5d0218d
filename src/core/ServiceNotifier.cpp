#include "core/ServiceNotifier.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>

namespace qvm {

namespace {

// While the device is missing the start-up is not finished; each tick of the
// device wait extends the service manager's start time-out by this much, so
// a player that waits for a sound card is left waiting and one whose UI
// thread hangs before the card appears is still stopped.
constexpr std::int64_t kStartExtensionUsec = 30'000'000;

}  // namespace

ServiceNotifier::ServiceNotifier() {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    m_active = socket != nullptr && *socket != '\0';
    if (!m_active) {
        return;
    }
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0) {
        m_watchdogUsec = usec;
    }
}

ServiceNotifier::~ServiceNotifier() {
    stopping();
}

void ServiceNotifier::send(const QByteArray& message) const {
    // A datagram on a local socket: never waits for the service manager.
    sd_notify(0, message.constData());
}

void ServiceNotifier::tick(bool deviceOpen, const QString& status, std::int64_t nowMs) {
    if (!m_active || m_stopping) {
        return;
    }
    QByteArray message;
    if (deviceOpen && !m_ready) {
        m_ready = true;
        message += "READY=1\n";
    }
    if (status != m_status) {
        m_status = status;
        // One line: the service manager shows it in `systemctl status`.
        message +=
            "STATUS=" + QString(status).replace(QLatin1Char('\n'), QLatin1Char(' ')).toUtf8() +
            '\n';
    }
    // A ping four times per watchdog interval leaves room for a slow tick;
    // before readiness the start time-out is extended instead, at the same
    // pace (or once a second without a watchdog).
    const std::int64_t intervalMs =
        m_watchdogUsec > 0 ? static_cast<std::int64_t>(m_watchdogUsec / 4000) : 1000;
    if (m_lastPingMs < 0 || nowMs - m_lastPingMs >= intervalMs) {
        m_lastPingMs = nowMs;
        if (m_ready) {
            if (m_watchdogUsec > 0) {
                message += "WATCHDOG=1\n";
            }
        } else {
            message += "EXTEND_TIMEOUT_USEC=" + QByteArray::number(kStartExtensionUsec) + '\n';
        }
    }
    if (!message.isEmpty()) {
        send(message);
    }
}

void ServiceNotifier::stopping() {
    if (!m_active || m_stopping) {
        return;
    }
    m_stopping = true;
    send("STOPPING=1\nSTATUS=Stopping\n");
}

}  // namespace qvm
