#pragma once

#include <QString>
#include <cstdint>
#include <functional>
#include <memory>

#include "core/StudioSink.h"
#include "studio/WinMsg.h"

namespace qvm {

class Player;

// The player's side of the studio protocol over the link: the commands the
// studio program gives (ReceiveCMD), the count of studio windows for the
// status line (StartWindow, ExitWIndow), and the notices and data blocks the
// player sends through it. Everything it receives is acted on only in
// interactive mode, read at every message. UI thread only.
class StudioLink final : public StudioSink {
  public:
    // Commands to the player; the link is the player's window's.
    static constexpr std::int16_t kCmdPlay = 0;
    static constexpr std::int16_t kCmdStop = 1;
    static constexpr std::int16_t kCmdFadeIn = 2;
    static constexpr std::int16_t kCmdFadeOut = 3;
    static constexpr std::int16_t kCmdVolume = 16;

    // Listens as the window "TQV_Mirelta" (in `options.folder`, or the
    // default folder); null, with the reason in `error`, when the link cannot
    // be had. `showCount` shows the number of studio windows.
    static std::unique_ptr<StudioLink> Create(Player& player, std::function<void(int)> showCount,
                                              TWinMSG::Options options, QString* error);

    void Broadcast(std::uint16_t hi, std::uint16_t lo) override;
    bool SendData(std::uint32_t kind, const QByteArray& bytes) override;

    std::int32_t ReceiveCMD(std::uint32_t wParam, std::uint32_t lParam);
    int StudioWindowCount() const { return m_count; }
    TWinMSG& link() { return *m_link; }

  private:
    StudioLink(Player& player, std::function<void(int)> showCount)
        : m_player(player), m_showCount(std::move(showCount)) {}
    void StartWindow();
    void ExitWIndow();

    Player& m_player;
    std::function<void(int)> m_showCount;
    std::unique_ptr<TWinMSG> m_link;
    int m_count = 0;
};

}  // namespace qvm
