#pragma once

#include <QDateTime>
#include <QString>
#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "channel/Channel.h"

namespace qvm {

class Player;

// What the remote-control pages show of one channel, as it was at one tick.
struct ChannelSnapshot {
    ChannelStatus status = ChannelStatus::Stop;
    bool silent = false;  // found silent, waiting for the sound to return
    QString url;
    QString stationName;
    QString bitrateText;
    QString title;
    QString message;
    QString infoLine;  // the channel page's info label
    std::int64_t playStart = 0;
};

// The player as the pages see it: one consistent state, taken on the UI
// thread, read on the HTTP threads.
struct PlayerSnapshot {
    bool playing = false;
    int onAirIndex = -1;
    int restoreFloor = 0;
    std::int64_t nowTick = 0;
    // The local time when it was taken, with its offset from UTC fixed, so
    // that the HTTP threads never convert time zones (glibc's tzset is not
    // theirs to call).
    QDateTime localTime;
    QString user;
    QString password;
    int refresh = 0;
    std::vector<ChannelSnapshot> channels;
};

// UI thread: the player's state now.
std::shared_ptr<const PlayerSnapshot> TakeSnapshot(Player& player);

// The latest snapshot, handed from the UI thread to the HTTP threads. A
// reader keeps the snapshot it loaded however often a new one is published.
class SnapshotBox {
  public:
    SnapshotBox() : m_current(std::make_shared<const PlayerSnapshot>()) {}
    void publish(std::shared_ptr<const PlayerSnapshot> snapshot) {
        m_current.store(std::move(snapshot), std::memory_order_release);
    }
    std::shared_ptr<const PlayerSnapshot> load() const {
        return m_current.load(std::memory_order_acquire);
    }

  private:
    std::atomic<std::shared_ptr<const PlayerSnapshot>> m_current;
};

}  // namespace qvm
