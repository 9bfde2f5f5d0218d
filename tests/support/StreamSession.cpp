#include "support/StreamSession.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/TimeBase.h"
#include "support/SocketIo.h"

namespace qvm::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxMetadataBytes = 255 * 16;

template <class... Ts>
struct Overloaded : Ts... {
    using Ts::operator()...;
};

// Header values come from test code; keep them on one line.
std::string OneLine(std::string text) {
    std::erase_if(text, [](char c) { return c == '\r' || c == '\n'; });
    return text;
}

}  // namespace

const char* ReasonPhrase(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 431:
            return "Request Header Fields Too Large";
        case 500:
            return "Internal Server Error";
        case 502:
            return "Bad Gateway";
        case 503:
            return "Service Unavailable";
        case 504:
            return "Gateway Timeout";
        default:
            return "Error";
    }
}

std::string SimpleReply(int status, const std::string& contentType, const std::string& body,
                        bool headOnly) {
    std::string reply = "HTTP/1.0 " + std::to_string(status) + " " + ReasonPhrase(status) +
                        "\r\nContent-Type: " + contentType +
                        "\r\nContent-Length: " + std::to_string(body.size()) +
                        "\r\nConnection: close\r\nServer: qvm-test-streamer\r\n\r\n";
    if (!headOnly) {
        reply += body;
    }
    return reply;
}

const char* StepKindName(const Step& step) {
    return std::visit(Overloaded{
                          [](const Tone&) { return "tone"; },
                          [](const Silence&) { return "silence"; },
                          [](const Stall&) { return "stall"; },
                          [](const Disconnect&) { return "disconnect"; },
                          [](const Title&) { return "title"; },
                          [](const HttpError&) { return "http-error"; },
                          [](const Garbage&) { return "garbage"; },
                          [](const Html&) { return "html"; },
                      },
                      step);
}

StreamSession::StreamSession(StreamServer& server, StreamServer::Record& record, int fd, int stopFd,
                             const MountSpec& spec, Script script, bool metadata, bool headOnly)
    : m_server(server),
      m_record(record),
      m_fd(fd),
      m_stopFd(stopFd),
      m_spec(spec),
      m_script(std::move(script)),
      m_metadata(metadata),
      m_headOnly(headOnly),
      m_toMetadata(spec.metaint) {}

void StreamSession::run() {
    if (!m_encoder.open(m_spec.sampleRate, m_spec.channels, m_spec.bitrateKbps).empty()) {
        io::SendAll(m_fd, m_stopFd, SimpleReply(500, "text/plain", "encoder refused the format\n"));
        m_server.recordResponse(m_record, 500, false);
        return;
    }
    if (m_headOnly) {
        sendHead();
        return;
    }
    while (!io::IsStopped(m_stopFd)) {
        if (!m_encoder.hasPacket() && !m_produced) {
            produce();
            continue;
        }
        // An action goes before the first packet holding any sample at or after its position.
        if (!m_actions.empty() &&
            (!m_encoder.hasPacket() ||
             m_actions.front().position <
                 m_encoder.nextPacket().pts + m_encoder.nextPacket().duration)) {
            const Action action = m_actions.front();
            m_actions.pop_front();
            if (!perform(action)) {
                break;
            }
            continue;
        }
        if (m_encoder.hasPacket()) {
            if (!sendPacket(m_encoder.takePacket())) {
                break;
            }
            continue;
        }
        break;  // the script has ended
    }
    // Steps reached but never carried by a packet (e.g. a zero-length tone at the end).
    for (TimelineEntry& entry : m_waitingForPacket) {
        stamp(entry);
    }
    m_waitingForPacket.clear();
}

void StreamSession::produce() {
    if (m_step >= m_script.size()) {
        // A looping script that neither sounds nor waits would spin for ever.
        if (m_spec.loop && m_loopTakesTime) {
            m_step = 0;
            ++m_loop;
            m_loopTakesTime = false;
        } else {
            m_encoder.finish();
            m_produced = true;
            return;
        }
    }
    const Step& step = m_script[m_step];
    const Tone* tone = std::get_if<Tone>(&step);
    const Silence* silence = std::get_if<Silence>(&step);
    if (tone || silence) {
        if (m_stepSamplesLeft < 0) {
            const double seconds = tone ? tone->seconds : silence->seconds;
            // kForever (or anything beyond a century) must not go through
            // llround, which gives nothing useful for infinity.
            constexpr double kCentury = 100.0 * 365 * 86400;
            m_stepSamplesLeft =
                seconds >= kCentury
                    ? std::numeric_limits<std::int64_t>::max()
                    : std::max<std::int64_t>(0, std::llround(seconds * m_spec.sampleRate));
            m_actions.push_back({m_encoder.samplesFed(), m_step, m_loop});
        }
        const std::int64_t n = std::min<std::int64_t>(m_stepSamplesLeft, 1152);
        if (tone) {
            m_encoder.addTone(tone->frequency, tone->amplitude, n);
        } else {
            m_encoder.addTone(0.0, 0.0, n);
        }
        m_stepSamplesLeft -= n;
        m_loopTakesTime = m_loopTakesTime || n > 0;
        if (m_stepSamplesLeft == 0) {
            m_stepSamplesLeft = -1;
            ++m_step;
        }
        return;
    }
    m_actions.push_back({m_encoder.samplesFed(), m_step, m_loop});
    const Stall* stall = std::get_if<Stall>(&step);
    const Garbage* garbage = std::get_if<Garbage>(&step);
    if ((stall && stall->seconds > 0) || (garbage && garbage->bytes > 0)) {
        m_loopTakesTime = true;
    }
    ++m_step;
}

bool StreamSession::perform(const Action& action) {
    const Step& step = m_script[action.step];
    const double position = streamSecondsAt(action.position);
    if (std::holds_alternative<Tone>(step) || std::holds_alternative<Silence>(step)) {
        m_waitingForPacket.push_back(entryFor(action, position));
        return true;
    }
    if (const auto* title = std::get_if<Title>(&step)) {
        if (!m_metadata) {
            stamp(entryFor(action, position));
            return true;
        }
        m_pendingMeta = title->raw ? title->text : "StreamTitle='" + title->text + "';";
        m_metaPending = true;
        m_waitingForMeta.push_back(entryFor(action, position));
        return true;
    }
    if (const auto* stall = std::get_if<Stall>(&step)) {
        stamp(entryFor(action, position));
        if (std::isinf(stall->seconds)) {
            io::WaitForStop(m_stopFd);
            return false;
        }
        const Clock::time_point began = Clock::now();
        const auto length = std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(std::max(0.0, stall->seconds)));
        if (io::SleepOrStop(m_stopFd, length)) {
            return false;
        }
        if (m_headSent) {
            m_stalled += Clock::now() - began;
        }
        return true;
    }
    if (const auto* garbage = std::get_if<Garbage>(&step)) {
        if (!sendHead() || !waitUntilDue(position)) {
            return false;
        }
        const bool sent = sendGarbage(garbage->bytes);
        stamp(entryFor(action, position));
        m_garbageSeconds +=
            static_cast<double>(garbage->bytes) * 8.0 / (m_spec.bitrateKbps * 1000.0);
        return sent;
    }
    // Disconnect, HttpError and Html end the connection; the two replies only
    // when nothing has been answered yet.
    if (!m_headSent) {
        if (const auto* error = std::get_if<HttpError>(&step)) {
            io::SendAll(
                m_fd, m_stopFd,
                SimpleReply(error->code, "text/plain",
                            std::to_string(error->code) + " " + ReasonPhrase(error->code) + "\n"));
            m_server.recordResponse(m_record, error->code, false);
        } else if (std::holds_alternative<Html>(step)) {
            io::SendAll(m_fd, m_stopFd,
                        SimpleReply(200, "text/html; charset=utf-8",
                                    "<!DOCTYPE html>\n<html><head><title>Welcome</title></head>"
                                    "<body><h1>Welcome</h1><p>This is a web page, not a stream.</p>"
                                    "</body></html>\n"));
            m_server.recordResponse(m_record, 200, false);
        }
    }
    stamp(entryFor(action, position));
    return false;
}

bool StreamSession::sendPacket(const Mp3Packet& packet) {
    if (!sendHead() || !waitUntilDue(streamSecondsAt(packet.pts))) {
        return false;
    }
    if (!sendBody(packet.data.data(), packet.data.size())) {
        return false;
    }
    for (TimelineEntry& entry : m_waitingForPacket) {
        stamp(entry);
    }
    m_waitingForPacket.clear();
    return true;
}

bool StreamSession::sendGarbage(std::size_t bytes) {
    std::vector<std::uint8_t> chunk(4096);
    while (bytes > 0) {
        const std::size_t n = std::min(bytes, chunk.size());
        for (std::size_t i = 0; i < n; ++i) {
            chunk[i] = static_cast<std::uint8_t>(m_random());
        }
        if (!sendBody(chunk.data(), n)) {
            return false;
        }
        bytes -= n;
    }
    return true;
}

bool StreamSession::sendHead() {
    if (m_headSent) {
        return true;
    }
    std::string head = m_spec.icyStatusLine ? "ICY 200 OK\r\n" : "HTTP/1.0 200 OK\r\n";
    head += "Content-Type: " + OneLine(m_spec.contentType) + "\r\n";
    if (!m_spec.icyName.empty()) {
        head += "icy-name: " + OneLine(m_spec.icyName) + "\r\n";
    }
    if (m_spec.icyBr >= 0) {
        head += "icy-br: " + std::to_string(m_spec.icyBr) + "\r\n";
    }
    if (m_metadata) {
        head += "icy-metaint: " + std::to_string(m_spec.metaint) + "\r\n";
    }
    head += "Cache-Control: no-cache\r\nConnection: close\r\nServer: qvm-test-streamer\r\n\r\n";
    if (!io::SendAll(m_fd, m_stopFd, head)) {
        return false;
    }
    m_headSent = true;
    m_start = Clock::now();
    m_server.recordResponse(m_record, 200, m_metadata);
    return true;
}

bool StreamSession::sendBody(const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const std::size_t n = m_metadata ? std::min<std::size_t>(size, m_toMetadata) : size;
        if (!io::SendAll(m_fd, m_stopFd, data, n)) {
            return false;
        }
        m_server.recordBody(m_record, n);
        data += n;
        size -= n;
        if (m_metadata) {
            m_toMetadata -= static_cast<int>(n);
            if (m_toMetadata == 0) {
                m_toMetadata = m_spec.metaint;
                if (!sendMetadataBlock()) {
                    return false;
                }
            }
        }
    }
    return true;
}

bool StreamSession::sendMetadataBlock() {
    std::string block(1, '\0');
    if (m_metaPending) {
        std::string text = m_pendingMeta.substr(0, kMaxMetadataBytes);
        text.resize((text.size() + 15) / 16 * 16, '\0');
        block[0] = static_cast<char>(text.size() / 16);
        block += text;
    }
    if (!io::SendAll(m_fd, m_stopFd, block)) {
        return false;
    }
    m_server.recordBody(m_record, block.size());
    if (m_metaPending) {
        m_metaPending = false;
        for (TimelineEntry& entry : m_waitingForMeta) {
            stamp(entry);
        }
        m_waitingForMeta.clear();
    }
    return true;
}

bool StreamSession::waitUntilDue(double streamSeconds) {
    if (!m_spec.realTime) {
        return true;
    }
    // Audio may lead the wall clock by the burst; stalls push the schedule out
    // by their length, so the stream resumes in real time rather than catching up.
    const double pace = m_spec.pace > 0 ? m_spec.pace : 1.0;
    const auto lead = std::chrono::duration<double>((streamSeconds - m_spec.burstSeconds) / pace);
    const Clock::time_point due =
        m_start + m_stalled + std::chrono::duration_cast<Clock::duration>(lead);
    const Clock::time_point now = Clock::now();
    if (due <= now) {
        return true;
    }
    return !io::SleepOrStop(m_stopFd, due - now);
}

double StreamSession::streamSecondsAt(std::int64_t position) const {
    const double samples = static_cast<double>(position + m_encoder.initialPadding());
    return std::max(0.0, samples / m_spec.sampleRate) + m_garbageSeconds;
}

TimelineEntry StreamSession::entryFor(const Action& action, double streamSeconds) const {
    TimelineEntry entry;
    entry.step = action.step;
    entry.loop = action.loop;
    entry.kind = StepKindName(m_script[action.step]);
    entry.streamSeconds = streamSeconds;
    return entry;
}

void StreamSession::stamp(TimelineEntry entry) {
    entry.sentAt = Clock::now();
    entry.sentTick = TickCount64();
    m_server.recordStep(m_record, std::move(entry));
}

}  // namespace qvm::test
