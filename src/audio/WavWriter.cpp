#include "audio/WavWriter.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace qvm::audio {

namespace {

// RIFF caps the sizes at 32 bits; past 4 GiB the header keeps the maximum and
// the data goes on (readers then take the rest of the file as data).
constexpr std::uint64_t kMaxData = 0xFFFFFFFFull - 36;

void put16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

void put32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

}  // namespace

WavWriter::~WavWriter() {
    close();
}

bool WavWriter::open(const std::string& path, std::uint32_t rate, std::uint16_t channels) {
    close();
    m_file = std::fopen(path.c_str(), "wb");
    if (m_file == nullptr) {
        return false;
    }
    m_frameBytes = std::uint32_t{channels} * 2;
    m_dataBytes = 0;
    std::array<std::uint8_t, 44> h{};
    std::memcpy(h.data(), "RIFF", 4);
    put32(h.data() + 4, 36);
    std::memcpy(h.data() + 8, "WAVEfmt ", 8);
    put32(h.data() + 16, 16);
    put16(h.data() + 20, 1);  // PCM
    put16(h.data() + 22, channels);
    put32(h.data() + 24, rate);
    put32(h.data() + 28, rate * m_frameBytes);
    put16(h.data() + 32, static_cast<std::uint16_t>(m_frameBytes));
    put16(h.data() + 34, 16);
    std::memcpy(h.data() + 36, "data", 4);
    put32(h.data() + 40, 0);
    if (std::fwrite(h.data(), 1, h.size(), m_file) != h.size()) {
        std::fclose(m_file);
        m_file = nullptr;
        return false;
    }
    std::fflush(m_file);
    return true;
}

void WavWriter::write(const std::int16_t* samples, std::size_t frames) {
    if (m_file == nullptr) {
        return;
    }
    // Little-endian machines only (x86-64, arm64): the samples go out as they are.
    const std::size_t bytes = frames * m_frameBytes;
    m_dataBytes += std::fwrite(samples, 1, bytes, m_file);
}

void WavWriter::flush() {
    if (m_file == nullptr) {
        return;
    }
    const auto data = static_cast<std::uint32_t>(std::min(m_dataBytes, kMaxData));
    std::uint8_t v[4];
    std::fflush(m_file);
    const long end = std::ftell(m_file);
    put32(v, data + 36);
    std::fseek(m_file, 4, SEEK_SET);
    std::fwrite(v, 1, 4, m_file);
    put32(v, data);
    std::fseek(m_file, 40, SEEK_SET);
    std::fwrite(v, 1, 4, m_file);
    std::fseek(m_file, end, SEEK_SET);
    std::fflush(m_file);
}

void WavWriter::close() {
    if (m_file == nullptr) {
        return;
    }
    flush();
    std::fclose(m_file);
    m_file = nullptr;
}

}  // namespace qvm::audio
