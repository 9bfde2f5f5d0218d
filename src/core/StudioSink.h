#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>

namespace qvm {

struct PcmBlock;

// Notifications to the studio program: the command word of a link message
// (lParam = hi × 65536 + lo).
inline constexpr std::uint16_t kNoteSilence = 0x0400;  // lo: the channel on air
inline constexpr std::uint16_t kNoteOnline = 0x0401;   // lo: the channel now on air
inline constexpr std::uint16_t kLinkControl = 0x7FFF;
inline constexpr std::uint16_t kControlGoodbye = 2;

// Kinds (dwData) of the data blocks sent to the studio program.
inline constexpr std::uint32_t kTitleDataKind = 0x00010000;
inline constexpr std::uint32_t kPcmDataKind = 0;
inline constexpr int kPcmHeaderBytes = 22;

// Where the player's side of the studio protocol goes: the link to the studio
// programs. Both calls are synchronous and return once every peer has taken
// the message (or been skipped); a peer that fails is the link's business.
// UI thread only.
class StudioSink {
  public:
    virtual ~StudioSink() = default;
    // One command to every peer; the replies are dropped.
    virtual void Broadcast(std::uint16_t hi, std::uint16_t lo) = 0;
    // One data block to every peer. The caller keeps the bytes. False when the
    // send failed.
    virtual bool SendData(std::uint32_t kind, const QByteArray& bytes) = 0;
};

// TitleData: 0xFF 0xFF, four zero bytes, the title as UTF-8 cut to 255 bytes
// at a character boundary, no terminating zero.
QByteArray BuildTitleData(const QString& title);

// PcmData into `out` (reused, so that a steady stream of equal blocks needs no
// allocation): the block's rate (int32), channel count, 16, the left and right
// peak levels in dB (doubles), then the samples. Little-endian throughout.
void BuildPcmData(const PcmBlock& block, QByteArray& out);

}  // namespace qvm
