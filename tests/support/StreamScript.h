#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <variant>
#include <vector>

// What a scripted stream mount sends, step by step. The audio steps are
// encoded to MP3 on the fly, one continuous encoder per connection, so tone
// and silence steps follow each other without gaps or clicks.
namespace qvm::test {

inline constexpr double kForever = std::numeric_limits<double>::infinity();

// A sine of `frequency` Hz and `amplitude` (0..1 of full scale) on every
// channel. The phase runs on across consecutive tones.
struct Tone {
    double frequency = 440.0;
    double seconds = 1.0;
    double amplitude = 0.5;
};

// Digital silence (all samples zero).
struct Silence {
    double seconds = 1.0;
};

// The connection stays open and nothing is sent for `seconds` (kForever: until
// the server stops). Pacing resumes in real time afterwards, without a new
// burst. Before the first audio byte it delays the response itself, so
// {Stall{kForever}} is a server that accepts, reads the request and never answers.
struct Stall {
    double seconds = 1.0;
};

// Closes the socket.
struct Disconnect {};

// Sets the title: the next ICY metadata block carries StreamTitle='text';
// exactly as given (quotes and semicolons inside are sent unchanged). With
// `raw`, the text is the whole metadata block instead (e.g. to send
// "StreamTitle='A';StreamUrl='http://x';"). Blocks hold at most 4080 bytes; a
// longer text is cut.
struct Title {
    std::string text;
    bool raw = false;
};

// Replies with this HTTP status instead of audio. Only meaningful before the
// first audio byte; later in a script it closes the connection.
struct HttpError {
    int code = 503;
};

// `bytes` random bytes in place of audio, inside the ICY framing, paced as
// audio of the mount's bitrate.
struct Garbage {
    std::size_t bytes = 4096;
};

// Replies 200 with a text/html page instead of audio. Only meaningful before
// the first audio byte; later in a script it closes the connection.
struct Html {};

using Step = std::variant<Tone, Silence, Stall, Disconnect, Title, HttpError, Garbage, Html>;
using Script = std::vector<Step>;

// The kind of a step as text ("tone", "silence", "stall", "disconnect",
// "title", "http-error", "garbage", "html").
const char* StepKindName(const Step& step);

struct MountSpec {
    int sampleRate = 44100;
    int channels = 2;  // 1 or 2
    int bitrateKbps = 128;
    std::string icyName;  // icy-name header; not sent when empty
    int icyBr = -1;       // icy-br header; not sent when negative
    int metaint = 16000;  // ICY metadata interval in bytes; 0 = no metadata
    std::string contentType = "audio/mpeg";
    bool icyStatusLine = false;  // "ICY 200 OK" instead of "HTTP/1.0 200 OK"
    double burstSeconds = 2.0;   // audio sent at once on connect
    bool realTime = true;        // pace after the burst; false = as fast as the socket takes
    // Stream seconds sent per second of wall time after the burst: a sender
    // whose clock runs slow (0.99) or fast (1.01) against ours.
    double pace = 1.0;
    bool loop = false;  // start the script again after its last step; false = close
    Script script;
    // Scripts for the first connections, in order; later connections play
    // `script`. E.g. {{HttpError{503}}} makes only the first attempt fail.
    std::vector<Script> firstConnections;
};

// One step as it happened on one connection.
struct TimelineEntry {
    std::size_t step = 0;  // index in the script the connection plays
    int loop = 0;          // pass through a looping script, from 0
    std::string kind;      // StepKindName
    // Audio steps: when the first packet holding the step's audio had been
    // handed to the socket. Title: when the metadata block carrying it was sent
    // (or when it was reached, if the client takes no metadata). Stall: when
    // it began. Disconnect, HttpError, Html: when the socket was closed or the
    // reply sent. Garbage: when its first byte was sent.
    std::chrono::steady_clock::time_point sentAt{};
    std::uint64_t sentTick = 0;  // qvm::TickCount64() at the same moment
    // Where the step starts in the stream's audio, in seconds from the first
    // byte, as a decoder that starts at the first byte hears it (the encoder's
    // priming delay of ~25 ms included; garbage counts as audio of the bitrate).
    // With the burst, stream time runs ahead of wall time.
    double streamSeconds = 0.0;
};

}  // namespace qvm::test
