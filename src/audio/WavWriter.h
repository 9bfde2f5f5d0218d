#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace qvm::audio {

// Writes 16-bit PCM to a WAV file that stays valid while it grows: the sizes
// in the header are brought up to date at every flush (about once a second
// from the null output) and when the file is closed, so a reader at any time
// sees a well-formed file holding everything up to the last flush.
class WavWriter {
  public:
    WavWriter() = default;
    ~WavWriter();
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    bool open(const std::string& path, std::uint32_t rate, std::uint16_t channels);
    bool isOpen() const { return m_file != nullptr; }
    void write(const std::int16_t* samples, std::size_t frames);
    // Updates the header sizes and pushes everything to the file.
    void flush();
    void close();
    std::uint64_t frames() const { return m_dataBytes / m_frameBytes; }

  private:
    std::FILE* m_file = nullptr;
    std::uint32_t m_frameBytes = 4;
    std::uint64_t m_dataBytes = 0;
};

}  // namespace qvm::audio
