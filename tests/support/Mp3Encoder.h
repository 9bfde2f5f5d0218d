#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

struct AVCodecContext;
struct AVFrame;
struct AVPacket;

namespace qvm::test {

// One MP3 packet: `pts` and `duration` in samples of the input timeline (the
// encoder's priming of `initialPadding()` samples makes the first pts negative).
struct Mp3Packet {
    std::vector<std::uint8_t> data;
    std::int64_t pts = 0;
    std::int64_t duration = 0;
};

// A continuous libmp3lame encoder fed with generated signals: the same value
// goes to every channel. Owned and used by one thread.
class Mp3Encoder {
  public:
    Mp3Encoder() = default;
    ~Mp3Encoder();
    Mp3Encoder(const Mp3Encoder&) = delete;
    Mp3Encoder& operator=(const Mp3Encoder&) = delete;

    // Empty on success, else why the encoder refuses the format.
    std::string open(int sampleRate, int channels, int bitrateKbps);

    // Appends `count` samples of a sine (amplitude 0..1) whose phase runs on
    // from the previous tone; frequency 0 or amplitude 0 gives silence.
    void addTone(double frequency, double amplitude, std::int64_t count);
    // Encodes what is still buffered; no input is taken afterwards.
    void finish();

    bool hasPacket() const { return !m_packets.empty(); }
    const Mp3Packet& nextPacket() const { return m_packets.front(); }
    Mp3Packet takePacket();

    // Samples taken so far, the partly filled frame included.
    std::int64_t samplesFed() const { return m_samplesIn + m_fill; }
    int initialPadding() const;
    int sampleRate() const { return m_rate; }

  private:
    void encodeFrame(AVFrame* frame);

    AVCodecContext* m_ctx = nullptr;
    AVFrame* m_frame = nullptr;
    AVPacket* m_packet = nullptr;
    int m_rate = 0;
    int m_fill = 0;  // samples in m_frame so far
    std::int64_t m_samplesIn = 0;
    double m_phase = 0.0;
    bool m_finished = false;
    std::deque<Mp3Packet> m_packets;
};

// Empty when libmp3lame accepts the format, else the reason.
std::string CheckMp3Format(int sampleRate, int channels, int bitrateKbps);

}  // namespace qvm::test
