#include "http/StatusSnapshot.h"

#include "channel/Silence.h"
#include "core/Player.h"
#include "core/TimeBase.h"

namespace qvm {

std::shared_ptr<const PlayerSnapshot> TakeSnapshot(Player& player) {
    auto snapshot = std::make_shared<PlayerSnapshot>();
    const PlayerSettings& s = player.configuration().settings;
    snapshot->playing = player.Playing();
    snapshot->onAirIndex = player.OnAirIndex();
    snapshot->restoreFloor = player.RestoreFloor();
    snapshot->nowTick = static_cast<std::int64_t>(TickCount64());
    const QDateTime now = QDateTime::currentDateTime();
    snapshot->localTime = now.toOffsetFromUtc(now.offsetFromUtc());
    snapshot->user = s.HTTPUser;
    snapshot->password = s.HTTPPass;
    snapshot->refresh = s.HTTPRefresh;
    snapshot->channels.reserve(static_cast<std::size_t>(player.ChannelCount()));
    for (int i = 0; i < player.ChannelCount(); ++i) {
        const TfrChannelForm& ch = player.Channel(i);
        snapshot->channels.push_back({ch.Status(), ch.Silence().Mode() == TSilence::WatchSound,
                                      ch.URL(), ch.StationName(), ch.BitrateText(), ch.Title(),
                                      ch.Message(), ch.InfoLine(), ch.PlayStart()});
    }
    return snapshot;
}

}  // namespace qvm
