#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace qvm::audio {

// A lock-free single-producer single-consumer ring of bytes, used for the PCM
// of each stream (reader thread -> mixer) and for the device FIFO (mixer ->
// PortAudio callback). Every amount is rounded down to whole frames of
// `frameBytes`, so the two sides never split a frame.
//
// The positions are running 64-bit byte counts that never wrap in practice
// (2^64 bytes is millions of years of audio). The producer owns m_written and
// the consumer owns m_read; each side only reads the other's count.
//  - The producer stores m_written with release after copying the bytes in, and
//    the consumer loads it with acquire before copying them out: the consumer
//    never sees a count ahead of the bytes behind it.
//  - The consumer stores m_read with release after copying the bytes out, and
//    the producer loads it with acquire before writing: the producer never
//    overwrites bytes the consumer is still reading.
// Nothing here allocates after construction, locks or blocks, so the consumer
// side may run in the audio callback.
class PcmRing {
  public:
    PcmRing(std::size_t capacityBytes, std::size_t frameBytes)
        : m_frame(frameBytes == 0 ? 1 : frameBytes),
          m_capacity(capacityBytes / m_frame * m_frame),
          m_data(new std::uint8_t[m_capacity == 0 ? 1 : m_capacity]) {}

    PcmRing(const PcmRing&) = delete;
    PcmRing& operator=(const PcmRing&) = delete;

    std::size_t capacity() const { return m_capacity; }
    std::size_t frameBytes() const { return m_frame; }

    // Bytes waiting; exact on the consumer side, a lower bound elsewhere.
    std::size_t readable() const {
        return static_cast<std::size_t>(m_written.load(std::memory_order_acquire) -
                                        m_read.load(std::memory_order_acquire));
    }
    // Free bytes; exact on the producer side, a lower bound elsewhere.
    std::size_t writable() const { return m_capacity - readable(); }

    // Running counts since construction.
    std::uint64_t totalRead() const { return m_read.load(std::memory_order_acquire); }
    std::uint64_t totalWritten() const { return m_written.load(std::memory_order_acquire); }

    // Producer: copies in as many whole frames as fit; returns the bytes taken.
    std::size_t write(const void* data, std::size_t bytes) {
        const std::uint64_t w = m_written.load(std::memory_order_relaxed);
        const std::uint64_t r = m_read.load(std::memory_order_acquire);
        const std::size_t room = m_capacity - static_cast<std::size_t>(w - r);
        const std::size_t n = whole(bytes < room ? bytes : room);
        if (n == 0) {
            return 0;
        }
        const std::size_t at = static_cast<std::size_t>(w % m_capacity);
        const std::size_t first = n < m_capacity - at ? n : m_capacity - at;
        const auto* src = static_cast<const std::uint8_t*>(data);
        std::memcpy(m_data.get() + at, src, first);
        std::memcpy(m_data.get(), src + first, n - first);
        m_written.store(w + n, std::memory_order_release);
        return n;
    }

    // Consumer: copies out up to `bytes` (whole frames); returns the bytes copied.
    std::size_t read(void* out, std::size_t bytes) {
        const std::uint64_t r = m_read.load(std::memory_order_relaxed);
        const std::uint64_t w = m_written.load(std::memory_order_acquire);
        const std::size_t avail = static_cast<std::size_t>(w - r);
        const std::size_t n = whole(bytes < avail ? bytes : avail);
        if (n == 0) {
            return 0;
        }
        const std::size_t at = static_cast<std::size_t>(r % m_capacity);
        const std::size_t first = n < m_capacity - at ? n : m_capacity - at;
        auto* dst = static_cast<std::uint8_t*>(out);
        std::memcpy(dst, m_data.get() + at, first);
        std::memcpy(dst + first, m_data.get(), n - first);
        m_read.store(r + n, std::memory_order_release);
        return n;
    }

    // Consumer: drops up to `bytes` (whole frames) unread; returns the bytes dropped.
    std::size_t skip(std::size_t bytes) {
        const std::uint64_t r = m_read.load(std::memory_order_relaxed);
        const std::uint64_t w = m_written.load(std::memory_order_acquire);
        const std::size_t avail = static_cast<std::size_t>(w - r);
        const std::size_t n = whole(bytes < avail ? bytes : avail);
        m_read.store(r + n, std::memory_order_release);
        return n;
    }

  private:
    std::size_t whole(std::size_t bytes) const { return bytes / m_frame * m_frame; }

    const std::size_t m_frame;
    const std::size_t m_capacity;
    std::unique_ptr<std::uint8_t[]> m_data;
    alignas(64) std::atomic<std::uint64_t> m_written{0};
    alignas(64) std::atomic<std::uint64_t> m_read{0};
};

}  // namespace qvm::audio
