#include "core/StudioSink.h"

#include <QtEndian>
#include <algorithm>
#include <bit>
#include <cstring>

#include "channel/BlockQueue.h"
#include "config/Settings.h"
#include "core/Helpers.h"

namespace qvm {

namespace {

// The samples are copied as they lie in memory.
static_assert(std::endian::native == std::endian::little, "PcmData samples are little-endian");

void PutDouble(char* at, double value) {
    qToLittleEndian(std::bit_cast<quint64>(value), at);
}

}  // namespace

QByteArray BuildTitleData(const QString& title) {
    const QByteArray text = CutUtf8(title.toUtf8(), kLongTextBytes);
    QByteArray out(6, '\0');
    out[0] = '\xFF';
    out[1] = '\xFF';
    out.append(text);
    return out;
}

void BuildPcmData(const PcmBlock& block, QByteArray& out) {
    // A block never claims more bytes than it stores; a damaged length sends
    // what is there instead of reading past the storage.
    const auto stored = static_cast<std::int64_t>(block.Data.size()) * 2;
    const auto bytes = static_cast<int>(std::clamp<std::int64_t>(block.Length, 0, stored));
    out.resize(kPcmHeaderBytes + bytes);
    char* p = out.data();
    qToLittleEndian<qint32>(block.Freq, p);
    p[4] = static_cast<char>(block.Chans);
    p[5] = 16;
    const PeakDb peaks = Get_L_R_Value(block.samples(), bytes, block.Chans);
    PutDouble(p + 6, peaks.left);
    PutDouble(p + 14, peaks.right);
    if (bytes > 0) {
        std::memcpy(p + kPcmHeaderBytes, block.samples(), static_cast<std::size_t>(bytes));
    }
}

}  // namespace qvm
