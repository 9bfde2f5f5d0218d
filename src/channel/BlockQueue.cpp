#include "channel/BlockQueue.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace qvm {

PeakDb Get_L_R_Value(const std::int16_t* samples, std::int32_t lengthBytes, std::uint8_t chans) {
    int peaks[2] = {0, 0};
    const std::int32_t count = lengthBytes > 0 ? lengthBytes / 2 : 0;
    for (std::int32_t k = 0; k < count; ++k) {
        int v = samples[k];
        if (v < 0) {
            v = -1 - v;  // -32768 counts as 32767
        }
        int& peak = peaks[k & 1];
        peak = std::max(peak, v);
    }
    if (chans == 1) {
        peaks[0] = peaks[1] = std::max(peaks[0], peaks[1]);
    }
    auto toDb = [](int p) { return p == 0 ? -100.0 : 20.0 * std::log10(p / 32768.0); };
    return {toDb(peaks[0]), toDb(peaks[1])};
}

void TStreamABuffer::Init(int size) {
    m_size = std::clamp(size, 0, kMaxSlots);
    m_slots = m_size > 0 ? std::make_unique<Slot[]>(static_cast<std::size_t>(m_size)) : nullptr;
    m_readPos = 0;
    m_writePos = 0;
}

bool TStreamABuffer::Push(std::int64_t time, const std::int16_t* samples, std::int32_t lengthBytes,
                          std::int32_t freq, std::uint8_t chans) {
    if (m_size == 0 || lengthBytes < 0) {
        return false;
    }
    Slot& slot = m_slots[static_cast<std::size_t>(m_writePos)];
    if (slot.full.load(std::memory_order_acquire)) {
        m_dropped.fetch_add(1, std::memory_order_relaxed);
        return false;
    }
    PcmBlock& b = slot.block;
    const auto words = static_cast<std::size_t>((lengthBytes + 1) / 2);
    if (b.Data.size() < words) {
        b.Data.resize(words);  // grows once to the tap's block size, then never again
    }
    if (lengthBytes > 0) {
        std::memcpy(b.Data.data(), samples, static_cast<std::size_t>(lengthBytes));
    }
    b.Time = time;
    b.Length = lengthBytes;
    b.Freq = freq;
    b.Chans = chans;
    slot.full.store(true, std::memory_order_release);
    m_writePos = m_writePos + 1 == m_size ? 0 : m_writePos + 1;
    return true;
}

const PcmBlock* TStreamABuffer::Pop(std::int64_t now, int* slot) {
    if (m_size == 0) {
        return nullptr;
    }
    Slot& s = m_slots[static_cast<std::size_t>(m_readPos)];
    if (!s.full.load(std::memory_order_acquire) || s.block.Time > now) {
        return nullptr;
    }
    if (slot != nullptr) {
        *slot = m_readPos;
    }
    m_readPos = m_readPos + 1 == m_size ? 0 : m_readPos + 1;
    return &s.block;
}

void TStreamABuffer::Release(int slot) {
    if (slot < 0 || slot >= m_size) {
        return;
    }
    m_slots[static_cast<std::size_t>(slot)].full.store(false, std::memory_order_release);
}

void TStreamABuffer::Clear(bool dropArray) {
    for (int i = 0; i < m_size; ++i) {
        Release(i);
    }
    m_readPos = 0;
    m_writePos = 0;
    if (dropArray) {
        m_slots.reset();
        m_size = 0;
    }
}

}  // namespace qvm
