// qvm-relay-bench: relays URL streams through the engine's mixer to the null
// output for a while and prints what it cost: the time each open took, CPU
// seconds, peak resident memory, device underruns and how much audio was
// taken from each stream. Used by relay.sh; the engine is driven directly.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "audio/AudioEngine.h"

namespace {

using Clock = std::chrono::steady_clock;

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long peakRssKb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

[[noreturn]] void usage() {
    std::fprintf(stderr,
                 "usage: qvm-relay-bench [--seconds S] [--buffer S] [--volume V] URL...\n"
                 "Plays every URL at once to the null output for S seconds (60).\n");
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = 60.0;
    double buffer = 5.0;
    float volume = 0.1f;
    std::vector<std::string> urls;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--seconds" || arg == "--buffer" || arg == "--volume") && i + 1 < argc) {
            const double v = std::atof(argv[++i]);
            if (arg == "--seconds") {
                seconds = v;
            } else if (arg == "--buffer") {
                buffer = v;
            } else {
                volume = static_cast<float>(v);
            }
        } else if (arg.starts_with("-")) {
            usage();
        } else {
            urls.push_back(arg);
        }
    }
    if (urls.empty()) {
        usage();
    }
    auto engine = qvm::audio::CreateAudioEngine();
    int device = 0;
    qvm::audio::DeviceInfo info;
    for (int n = 1; engine->GetDeviceInfo(n, info); ++n) {
        if (info.name == "Null output") {
            device = n;
        }
    }
    if (device == 0 || !engine->Init(device, 48000)) {
        std::fprintf(stderr, "cannot open the null output\n");
        return 1;
    }
    qvm::audio::NetConfig config;
    config.bufferMs = static_cast<std::uint32_t>(buffer * 1000);
    config.timeoutMs = config.readTimeoutMs = 10000;
    engine->SetNetConfig(config);

    std::vector<qvm::audio::StreamHandle> streams;
    double openMax = 0.0;
    double openSum = 0.0;
    for (const std::string& url : urls) {
        const auto start = Clock::now();
        const auto stream = engine->StreamCreateURL(url, nullptr);
        const double took = std::chrono::duration<double>(Clock::now() - start).count();
        if (stream == 0) {
            std::fprintf(stderr, "%s: error %d\n", url.c_str(), engine->ErrorGetCode());
            return 1;
        }
        openMax = std::max(openMax, took);
        openSum += took;
        engine->ChannelSetVolume(stream, volume);
        engine->ChannelPlay(stream);
        streams.push_back(stream);
    }
    std::int64_t takenBefore = 0;
    for (const auto stream : streams) {
        takenBefore += std::max<std::int64_t>(0, engine->ChannelGetPosition(stream));
    }
    const double cpuStart = cpuSeconds();
    const auto start = Clock::now();
    std::this_thread::sleep_until(start + std::chrono::duration<double>(seconds));
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpu = cpuSeconds() - cpuStart;
    std::int64_t taken = 0;
    int alive = 0;
    for (const auto stream : streams) {
        const std::int64_t position = engine->ChannelGetPosition(stream);
        if (position >= 0) {
            taken += position;
            ++alive;
        }
    }
    const std::uint64_t underruns = engine->DeviceUnderruns();
    engine->Free();
    // One line of key=value pairs for the script.
    std::printf(
        "streams=%zu alive=%d wall_s=%.3f cpu_s=%.3f open_avg_s=%.3f open_max_s=%.3f "
        "peak_rss_mb=%.1f underruns=%llu pcm_bytes=%lld\n",
        streams.size(), alive, wall, cpu, openSum / static_cast<double>(streams.size()), openMax,
        static_cast<double>(peakRssKb()) / 1024.0, static_cast<unsigned long long>(underruns),
        static_cast<long long>(taken - takenBefore));
    return alive == static_cast<int>(streams.size()) ? 0 : 1;
}
