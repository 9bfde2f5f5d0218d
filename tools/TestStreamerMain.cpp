// qvm-test-streamer: serves scripted MP3 test streams on 127.0.0.1 until it is
// interrupted, for demos and for measurements that must not share a process
// with the player.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include <pthread.h>

#include "support/StreamServer.h"

namespace {

using qvm::test::MountSpec;

const char* const kUsage = R"(usage: qvm-test-streamer [--port N] [--verbose] MOUNT... [FILE...]

Serves scripted MP3 streams on http://127.0.0.1:N (N = 0: any free port) until
interrupted. Each mount plays its script in a loop unless --once is given.

  --mount PATH            begins a mount; the options below apply to the latest one
    --rate HZ               sample rate (44100)
    --channels 1|2          (2)
    --bitrate KBPS          MP3 bitrate (128)
    --name TEXT             icy-name header
    --br KBPS               icy-br header
    --metaint BYTES         ICY metadata interval, 0 = none (16000)
    --type MIME             Content-Type (audio/mpeg)
    --icy-status            answer "ICY 200 OK" instead of "HTTP/1.0 200 OK"
    --burst SECONDS         audio sent at once on connect (2)
    --fast                  no real-time pacing
    --once                  close the connection after the script instead of looping
  steps, in order:
    --tone HZ:SECONDS[:AMPLITUDE]   sine on every channel (amplitude 0..1, 0.5)
    --silence SECONDS
    --stall SECONDS|forever         connection open, nothing sent
    --title TEXT                    StreamTitle for the next metadata block
    --disconnect                    close the connection
    --http-error CODE               reply with this status (first step only)
    --garbage BYTES                 random bytes instead of audio
    --html                          reply with a web page (first step only)
  --file URLPATH LOCALFILE [MIME]   serve a file
  --folder URLPREFIX/ DIR           serve a folder

Example: a programme that goes silent for 20 s every two minutes, and a backup:
  qvm-test-streamer --port 8000 \
    --mount /programme.mp3 --name Programme --title "Programme" --tone 440:100 --silence 20 \
    --mount /backup.mp3 --name Backup --title "Backup" --tone 660:60
)";

[[noreturn]] void Fail(const std::string& message) {
    std::cerr << "qvm-test-streamer: " << message << "\n";
    std::exit(2);
}

double Number(const std::string& text, const char* what) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0') {
        Fail(std::string("not a number for ") + what + ": " + text);
    }
    return value;
}

int Integer(const std::string& text, const char* what) {
    const double value = Number(text, what);
    if (value != static_cast<int>(value)) {
        Fail(std::string("not a whole number for ") + what + ": " + text);
    }
    return static_cast<int>(value);
}

qvm::test::Tone ParseTone(const std::string& text) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        const std::size_t colon = text.find(':', start);
        parts.push_back(text.substr(start, colon - start));
        if (colon == std::string::npos) {
            break;
        }
        start = colon + 1;
    }
    if (parts.size() < 2 || parts.size() > 3) {
        Fail("--tone wants HZ:SECONDS[:AMPLITUDE], got " + text);
    }
    qvm::test::Tone tone{Number(parts[0], "--tone"), Number(parts[1], "--tone")};
    if (parts.size() == 3) {
        tone.amplitude = Number(parts[2], "--tone");
    }
    return tone;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        Fail("cannot read " + path);
    }
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string Now() {
    const std::time_t t = std::time(nullptr);
    char text[32];
    std::strftime(text, sizeof text, "%H:%M:%S", std::localtime(&t));
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    int port = 8000;
    bool verbose = false;
    std::vector<std::pair<std::string, MountSpec>> mounts;
    std::vector<std::tuple<std::string, std::string, std::string>> files;
    std::vector<std::pair<std::string, std::string>> folders;

    const std::vector<std::string> args(argv + 1, argv + argc);
    auto mount = [&]() -> MountSpec& {
        if (mounts.empty()) {
            Fail("give --mount PATH before mount options and steps");
        }
        return mounts.back().second;
    };
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) {
                Fail(a + " needs a value");
            }
            return args[++i];
        };
        if (a == "--help" || a == "-h") {
            std::cout << kUsage;
            return 0;
        } else if (a == "--port") {
            port = Integer(value(), "--port");
        } else if (a == "--verbose") {
            verbose = true;
        } else if (a == "--mount") {
            MountSpec spec;
            spec.loop = true;
            mounts.emplace_back(value(), spec);
        } else if (a == "--rate") {
            mount().sampleRate = Integer(value(), "--rate");
        } else if (a == "--channels") {
            mount().channels = Integer(value(), "--channels");
        } else if (a == "--bitrate") {
            mount().bitrateKbps = Integer(value(), "--bitrate");
        } else if (a == "--name") {
            mount().icyName = value();
        } else if (a == "--br") {
            mount().icyBr = Integer(value(), "--br");
        } else if (a == "--metaint") {
            mount().metaint = Integer(value(), "--metaint");
        } else if (a == "--type") {
            mount().contentType = value();
        } else if (a == "--icy-status") {
            mount().icyStatusLine = true;
        } else if (a == "--burst") {
            mount().burstSeconds = Number(value(), "--burst");
        } else if (a == "--fast") {
            mount().realTime = false;
        } else if (a == "--once") {
            mount().loop = false;
        } else if (a == "--tone") {
            mount().script.push_back(ParseTone(value()));
        } else if (a == "--silence") {
            mount().script.push_back(qvm::test::Silence{Number(value(), "--silence")});
        } else if (a == "--stall") {
            const std::string& v = value();
            mount().script.push_back(
                qvm::test::Stall{v == "forever" ? qvm::test::kForever : Number(v, "--stall")});
        } else if (a == "--title") {
            mount().script.push_back(qvm::test::Title{value()});
        } else if (a == "--disconnect") {
            mount().script.push_back(qvm::test::Disconnect{});
        } else if (a == "--http-error") {
            mount().script.push_back(qvm::test::HttpError{Integer(value(), "--http-error")});
        } else if (a == "--garbage") {
            mount().script.push_back(
                qvm::test::Garbage{static_cast<std::size_t>(Integer(value(), "--garbage"))});
        } else if (a == "--html") {
            mount().script.push_back(qvm::test::Html{});
        } else if (a == "--file") {
            const std::string urlPath = value();
            const std::string local = value();
            std::string type = "application/octet-stream";
            if (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0) {
                type = args[++i];
            }
            files.emplace_back(urlPath, local, type);
        } else if (a == "--folder") {
            const std::string prefix = value();
            folders.emplace_back(prefix, value());
        } else {
            Fail("unknown argument " + a + " (see --help)");
        }
    }
    if (mounts.empty() && files.empty() && folders.empty()) {
        std::cerr << kUsage;
        return 2;
    }

    // A shell script that starts us with '&' hands us SIGINT ignored, and an
    // ignored signal never reaches the wait below: take the default back, so
    // that 'kill -INT' stops us as it stops a foreground run.
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    // Every thread inherits this mask, so the signals reach only the wait below.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    try {
        qvm::test::StreamServer server(port);
        for (auto& [path, spec] : mounts) {
            server.addMount(path, spec);
            std::cout << server.url(path) << "\n";
        }
        for (const auto& [urlPath, local, type] : files) {
            server.addFile(urlPath, ReadFile(local), type);
            std::cout << server.url(urlPath) << "\n";
        }
        for (const auto& [prefix, dir] : folders) {
            server.addFolder(prefix, dir);
            std::cout << server.url(prefix) << "\n";
        }
        std::cout.flush();

        std::map<int, bool> seen;  // connection id -> reported closed
        const timespec tick{0, 250000000};
        while (sigtimedwait(&stopSignals, nullptr, &tick) < 0) {
            if (!verbose) {
                continue;
            }
            for (const auto& c : server.connections()) {
                const auto it = seen.find(c.id);
                if (it == seen.end() && !c.path.empty()) {
                    std::cout << Now() << " #" << c.id << " " << c.method << " " << c.target
                              << " User-Agent: " << c.header("User-Agent") << "\n";
                    seen[c.id] = false;
                }
                if (c.closedAt && seen.count(c.id) && !seen[c.id]) {
                    std::cout << Now() << " #" << c.id << " closed, status " << c.status << ", "
                              << c.bodyBytes << " bytes\n";
                    seen[c.id] = true;
                }
            }
            std::cout.flush();
        }
    } catch (const std::exception& e) {
        Fail(e.what());
    }
    return 0;
}
