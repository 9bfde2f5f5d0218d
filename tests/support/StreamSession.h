#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "support/Mp3Encoder.h"
#include "support/StreamServer.h"

namespace qvm::test {

// "HTTP/1.0 <status> <reason>" with a body and Connection: close.
std::string SimpleReply(int status, const std::string& contentType, const std::string& body,
                        bool headOnly = false);
const char* ReasonPhrase(int status);

// Plays one mount's script on one connection, on that connection's thread.
//
// The audio steps feed one continuous MP3 encoder; the other steps become
// actions placed at the sample position where they occur. The encoder's
// packets carry their position on the same timeline, so each action is carried
// out right before the first packet holding audio at or after its position
// (within one 26 ms frame), although the encoder works a few frames ahead.
class StreamSession {
  public:
    StreamSession(StreamServer& server, StreamServer::Record& record, int fd, int stopFd,
                  const MountSpec& spec, Script script, bool metadata, bool headOnly);
    void run();

  private:
    struct Action {
        std::int64_t position = 0;  // sample position on the encoder's input timeline
        std::size_t step = 0;
        int loop = 0;
    };

    void produce();
    // False when the connection ends.
    bool perform(const Action& action);
    bool sendPacket(const Mp3Packet& packet);
    bool sendGarbage(std::size_t bytes);
    bool sendHead();
    bool sendBody(const std::uint8_t* data, std::size_t size);
    bool sendMetadataBlock();
    bool waitUntilDue(double streamSeconds);
    double streamSecondsAt(std::int64_t position) const;
    TimelineEntry entryFor(const Action& action, double streamSeconds) const;
    void stamp(TimelineEntry entry);

    StreamServer& m_server;
    StreamServer::Record& m_record;
    const int m_fd;
    const int m_stopFd;
    const MountSpec m_spec;
    const Script m_script;
    const bool m_metadata;
    const bool m_headOnly;

    Mp3Encoder m_encoder;
    std::mt19937 m_random{20240611u};

    // Producer side: where the script is.
    std::size_t m_step = 0;
    int m_loop = 0;
    std::int64_t m_stepSamplesLeft = -1;  // -1: the current audio step has not begun
    bool m_loopTakesTime = false;         // the current pass made sound or waited
    bool m_produced = false;              // the script is exhausted and the encoder flushed
    std::deque<Action> m_actions;

    // Consumer side: what has been sent.
    bool m_headSent = false;
    std::chrono::steady_clock::time_point m_start{};  // head sent
    std::chrono::steady_clock::duration m_stalled{};  // stall time after the head
    double m_garbageSeconds = 0.0;
    int m_toMetadata = 0;  // body bytes until the next metadata block
    std::string m_pendingMeta;
    bool m_metaPending = false;
    std::vector<TimelineEntry> m_waitingForMeta;    // titles sent with the next block
    std::vector<TimelineEntry> m_waitingForPacket;  // audio steps stamped at their first packet
};

}  // namespace qvm::test
