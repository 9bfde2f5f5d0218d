#include "studio/StudioLink.h"

#include <algorithm>

#include "core/Fader.h"
#include "core/Player.h"

namespace qvm {

std::unique_ptr<StudioLink> StudioLink::Create(Player& player, std::function<void(int)> showCount,
                                               TWinMSG::Options options, QString* error) {
    options.className = "TQV_Mirelta";
    std::unique_ptr<StudioLink> studio(new StudioLink(player, std::move(showCount)));
    studio->m_link = TWinMSG::Create(std::move(options), error);
    if (!studio->m_link) {
        return nullptr;
    }
    StudioLink* self = studio.get();
    studio->m_link->setCommandHandler([self](std::uint32_t wParam, std::uint32_t lParam) {
        return self->ReceiveCMD(wParam, lParam);
    });
    studio->m_link->OnPeerFound = [self](TWinMSG&, const PeerWindow&) { self->StartWindow(); };
    studio->m_link->OnPeerLost = [self](TWinMSG&, const PeerWindow&) { self->ExitWIndow(); };
    if (studio->m_showCount) {
        studio->m_showCount(0);
    }
    return studio;
}

void StudioLink::Broadcast(std::uint16_t hi, std::uint16_t lo) {
    m_link->Broadcast(static_cast<std::int16_t>(hi), lo);
}

bool StudioLink::SendData(std::uint32_t kind, const QByteArray& bytes) {
    return m_link->SendData(static_cast<std::int16_t>(kind >> 16),
                            static_cast<std::uint16_t>(kind & 0xFFFF), bytes);
}

std::int32_t StudioLink::ReceiveCMD(std::uint32_t wParam, std::uint32_t lParam) {
    const PlayerSettings& s = m_player.configuration().settings;
    if (m_player.Closed() || m_player.Closing() || (s.SourceMode & 2) == 0) {
        return 0;
    }
    const TWinMSG::Control control = m_link->HandleMessage(wParam, lParam);
    if (control.isControl) {
        if (control.lo == TWinMSG::kHello) {
            if (m_player.SilenceState()) {
                m_link->SendCommand(wParam, static_cast<std::int16_t>(kNoteSilence), 0);
            }
        } else if (control.lo == TWinMSG::kIdentify) {
            return static_cast<std::int32_t>(s.PID);
        }
        return 0;
    }
    TQVFader* fader = m_player.MainFader();
    switch (control.hi) {
        case kCmdPlay:
            if (m_player.ChannelCount() > 0) {
                m_player.MainPlay(control.lo == 2);
            }
            break;
        case kCmdStop:
            m_player.MainStop(control.lo == 3, false);
            break;
        case kCmdFadeIn:
            if (fader != nullptr) {
                fader->FadeTo(s.Volume, s.FadeIn);
            }
            break;
        case kCmdFadeOut:
            if (fader != nullptr) {
                fader->FadeTo(0, s.FadeOut);
            }
            break;
        case kCmdVolume:
            m_player.SetVolumeTrackBar(std::min<int>(control.lo, 100));
            break;
        default:
            break;
    }
    return 0;
}

void StudioLink::StartWindow() {
    ++m_count;
    if (m_showCount) {
        m_showCount(m_count);
    }
}

void StudioLink::ExitWIndow() {
    m_count = std::max(0, m_count - 1);
    if (m_showCount) {
        m_showCount(m_count);
    }
}

}  // namespace qvm
