#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace qvm {

// One block of samples on its way from a stream's sample tap to the silence
// detector and the studio feed.
struct PcmBlock {
    std::int64_t Time = 0;           // TickCount64 at which the block becomes due
    std::int32_t Length = 0;         // bytes at Data
    std::int32_t Freq = 0;           // sample rate in Hz
    std::uint8_t Chans = 0;          // interleaved channels
    std::vector<std::int16_t> Data;  // storage; may hold more than Length bytes

    const std::int16_t* samples() const { return Data.data(); }
};

// Left and right peak levels of a block in dB (-100 for a zero peak). A mono
// block gives the larger peak on both sides.
struct PeakDb {
    double left = -100.0;
    double right = -100.0;
};
PeakDb Get_L_R_Value(const std::int16_t* samples, std::int32_t lengthBytes, std::uint8_t chans);
inline PeakDb Get_L_R_Value(const PcmBlock& block) {
    return Get_L_R_Value(block.samples(), block.Length, block.Chans);
}

// A fixed ring of sample blocks with one producer and one consumer and no lock.
// Each slot owns its block's storage, so once the storage has grown to the
// block size a push allocates nothing: the mixer thread pushes into channel
// queues without ever waiting on the allocator after warm-up.
//
// Hand-over: a slot's `full` flag. The producer fills only an empty slot and
// then sets the flag with release order; the consumer reads a slot only after
// seeing the flag with acquire order and empties it with a release store once
// done with the block, which the producer's acquire load sees before it writes
// the slot again. ReadPos belongs to the consumer, WritePos to the producer.
class TStreamABuffer {
  public:
    static constexpr int kMaxSlots = 255;

    TStreamABuffer() = default;
    ~TStreamABuffer() = default;
    TStreamABuffer(const TStreamABuffer&) = delete;
    TStreamABuffer& operator=(const TStreamABuffer&) = delete;

    // Not concurrent with Push/Pop: at creation only.
    void Init(int size);
    int Size() const { return m_size; }

    // Producer. Copies the samples into the slot at WritePos; false (and the
    // block dropped) when that slot is still full.
    bool Push(std::int64_t time, const std::int16_t* samples, std::int32_t lengthBytes,
              std::int32_t freq, std::uint8_t chans);

    // Consumer. The block at ReadPos when it is due (Time <= now); it stays in
    // its slot until Release.
    const PcmBlock* Pop(std::int64_t now, int* slot);
    void Release(int slot);
    // Consumer, with the producer stopped: releases every slot and rewinds.
    void Clear(bool dropArray);

    // Blocks dropped because the queue was full (any thread; for diagnostics).
    std::uint64_t Dropped() const { return m_dropped.load(std::memory_order_relaxed); }

  private:
    struct Slot {
        std::atomic<bool> full{false};
        PcmBlock block;
    };
    std::unique_ptr<Slot[]> m_slots;
    int m_size = 0;
    int m_readPos = 0;   // consumer only
    int m_writePos = 0;  // producer only
    std::atomic<std::uint64_t> m_dropped{0};
};

}  // namespace qvm
