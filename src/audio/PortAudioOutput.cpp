#include <alsa/asoundlib.h>
#include <dlfcn.h>
#include <portaudio.h>

#include <chrono>
#include <cstring>
#include <vector>

#include "audio/AudioEngine.h"
#include "audio/MixerThread.h"
#include "audio/OutputDevice.h"
#include "audio/PcmRing.h"

namespace qvm::audio {

namespace {

// libasound reports every card it cannot find (about 65 lines on a machine
// without sound hardware), and libjack, which PortAudio loads, every server
// it cannot reach. Neither means anything to a relay with a working device.
void quietAlsa(const char*, int, const char*, int, const char*, ...) {}
void quietJack(const char*) {}

void silenceSoundLibraries() {
    static std::once_flag once;
    std::call_once(once, [] {
        snd_lib_error_set_handler(&quietAlsa);
        using SetFn = void (*)(void (*)(const char*));
        for (const char* name : {"jack_set_error_function", "jack_set_info_function"}) {
            if (auto* fn = reinterpret_cast<SetFn>(dlsym(RTLD_DEFAULT, name))) {
                fn(&quietJack);
            }
        }
    });
}

constexpr std::uint32_t kFifoPeriods = 4;  // 80 ms between the mixer and the device
constexpr std::uint32_t kFramebytes = 4;   // 16-bit stereo

// A PortAudio output fed from a lock-free FIFO. The mixer thread keeps the
// FIFO topped up to kFifoPeriods periods; the callback only copies out of it.
class PortAudioOutput final : public OutputDevice {
  public:
    PortAudioOutput(std::uint32_t rate, std::uint32_t periodFrames)
        : m_rate(rate),
          m_period(periodFrames),
          m_fifo(std::size_t{periodFrames} * kFifoPeriods * kFramebytes, kFramebytes) {}

    ~PortAudioOutput() override {
        stop();
        if (m_stream != nullptr) {
            Pa_CloseStream(m_stream);  // no callback runs after this returns
        }
    }

    // Opens the device; on failure returns an error code, else kErrOk.
    std::int32_t open(int paIndex);

    bool start(MixFn mix) override {
        m_mix = std::move(mix);
        m_thread.start([this] { run(); });
        return true;
    }

    void stop() override { m_thread.stop(); }

    std::uint64_t underruns() const override { return m_underruns.load(std::memory_order_relaxed); }

    // PortAudio's callback thread: copies, counts, never blocks.
    int callback(void* output, unsigned long frames, PaStreamCallbackFlags flags) {
        const std::size_t want = frames * kFramebytes;
        const std::size_t got = m_fifo.read(output, want);
        if (got < want) {
            std::memset(static_cast<std::uint8_t*>(output) + got, 0, want - got);
        }
        if (m_primed.load(std::memory_order_acquire) &&
            (got < want || (flags & paOutputUnderflow) != 0)) {
            m_underruns.fetch_add(1, std::memory_order_relaxed);
        }
        return paContinue;
    }

  private:
    void run() {
        std::vector<std::int16_t> block(std::size_t{m_period} * 2);
        const std::size_t periodBytes = std::size_t{m_period} * kFramebytes;
        const auto fill = [&] {
            while (m_fifo.writable() >= periodBytes) {
                m_mix(block.data(), 1);
                m_fifo.write(block.data(), periodBytes);
            }
        };
        fill();
        m_primed.store(true, std::memory_order_release);
        const bool running = Pa_StartStream(m_stream) == paNoError;
        while (!m_thread.stopRequested()) {
            fill();
            // Sleep until about one period has been played out of the FIFO.
            const auto queued = static_cast<std::int64_t>(m_fifo.readable());
            const auto over = queued + static_cast<std::int64_t>(periodBytes) -
                              static_cast<std::int64_t>(m_fifo.capacity());
            const auto wait = std::chrono::microseconds(
                std::max<std::int64_t>(1000, over / kFramebytes * 1000000 / m_rate));
            m_thread.sleepFor(wait);
        }
        if (running) {
            Pa_StopStream(m_stream);
        }
    }

    PaStream* m_stream = nullptr;
    const std::uint32_t m_rate;
    const std::uint32_t m_period;
    PcmRing m_fifo;  // producer: mixer thread; consumer: PortAudio callback
    MixFn m_mix;
    std::atomic<bool> m_primed{false};  // the FIFO was filled once: shortfalls count
    std::atomic<std::uint64_t> m_underruns{0};
    MixerThread m_thread;  // last: stops before the members it uses go
};

int paCallback(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo*,
               PaStreamCallbackFlags flags, void* user) {
    return static_cast<PortAudioOutput*>(user)->callback(output, frames, flags);
}

}  // namespace

PortAudioHost::~PortAudioHost() {
    if (m_initialised) {
        Pa_Terminate();
    }
}

void PortAudioHost::rescan() {
    silenceSoundLibraries();
    if (m_initialised) {
        Pa_Terminate();
        m_initialised = false;
    }
    m_outputs.clear();
    if (Pa_Initialize() != paNoError) {
        return;
    }
    m_initialised = true;
    const int count = Pa_GetDeviceCount();
    for (int i = 0; i < count; ++i) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
        if (info != nullptr && info->maxOutputChannels > 0 && info->name != nullptr) {
            m_outputs.push_back({i, info->name});
        }
    }
}

std::int32_t PortAudioOutput::open(int paIndex) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(paIndex);
    if (info == nullptr || info->maxOutputChannels < 1) {
        return kErrDevice;
    }
    if (info->maxOutputChannels < 2) {
        // The mixer makes stereo; a mono-only device is not supported.
        return kErrFormat;
    }
    PaStreamParameters params{};
    params.device = paIndex;
    params.channelCount = 2;
    params.sampleFormat = paInt16;
    params.suggestedLatency = info->defaultHighOutputLatency;
    if (Pa_IsFormatSupported(nullptr, &params, m_rate) != paFormatIsSupported) {
        return kErrFreq;
    }
    const PaError rc = Pa_OpenStream(&m_stream, nullptr, &params, m_rate,
                                     paFramesPerBufferUnspecified, paNoFlag, &paCallback, this);
    if (rc != paNoError) {
        m_stream = nullptr;
        if (rc == paInvalidSampleRate) {
            return kErrFreq;
        }
        return rc == paDeviceUnavailable ? kErrBusy : kErrDriver;
    }
    return kErrOk;
}

std::unique_ptr<OutputDevice> CreatePortAudioOutput(int paIndex, std::uint32_t rate,
                                                    std::uint32_t periodFrames,
                                                    std::int32_t& error) {
    auto output = std::make_unique<PortAudioOutput>(rate, periodFrames);
    error = output->open(paIndex);
    if (error != kErrOk) {
        return nullptr;
    }
    return output;
}

}  // namespace qvm::audio
