#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>

namespace qvm {

// Tells the service manager (systemd) how the player is: ready once the sound
// device is open, alive for as long as the main loop ticks, what it is doing,
// and that it is stopping. Outside a service, or in a unit without
// Type=notify, every call does nothing.
//
// UI thread only: it is fed from the ticks of the UI timer, so a UI thread
// that hangs stops the watchdog notifications and the service manager
// restarts the player.
class ServiceNotifier {
  public:
    // Reads NOTIFY_SOCKET and WATCHDOG_USEC (and WATCHDOG_PID) once.
    ServiceNotifier();
    ~ServiceNotifier();
    ServiceNotifier(const ServiceNotifier&) = delete;
    ServiceNotifier& operator=(const ServiceNotifier&) = delete;

    bool active() const { return m_active; }
    // The watchdog interval the service manager asked for (0: none).
    std::uint64_t watchdogUsec() const { return m_watchdogUsec; }

    // After every tick of the UI timer. `deviceOpen`: the sound device has
    // started and the main loop runs. `status`: one line on what the player
    // does, sent when it changes. `nowMs`: a monotonic clock.
    void tick(bool deviceOpen, const QString& status, std::int64_t nowMs);
    // The shutdown has begun; sent once.
    void stopping();

  private:
    void send(const QByteArray& message) const;

    bool m_active = false;
    std::uint64_t m_watchdogUsec = 0;
    bool m_ready = false;
    bool m_stopping = false;
    std::int64_t m_lastPingMs = -1;
    QString m_status;
};

}  // namespace qvm
