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
// A device that has not called back for this long while the mix waits for it
// has stopped taking it.
constexpr auto kSilentDevice = std::chrono::milliseconds(500);
// A device that has played this long since it was started counts as
// running (and, after a loss, as back). Before, it may pause for a while
// (a sound server sets its stream up after the first callbacks).
constexpr auto kTrustedAfter = std::chrono::seconds(2);
constexpr auto kStartingDevice = std::chrono::seconds(2);

int paCallback(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo*,
               PaStreamCallbackFlags flags, void* user) {
    return static_cast<PortAudioOutput*>(user)->callback(output, frames, flags);
}

}  // namespace

PortAudioOutput::PortAudioOutput(std::string name, std::uint32_t rate, std::uint32_t periodFrames,
                                 LostFn onLost)
    : m_name(std::move(name)),
      m_rate(rate),
      m_period(periodFrames),
      m_onLost(std::move(onLost)),
      m_fifo(std::size_t{periodFrames} * kFifoPeriods * kFramebytes, kFramebytes) {}

PortAudioOutput::~PortAudioOutput() {
    stop();
    closeStream();  // no callback runs after this returns
}

bool PortAudioOutput::start(MixFn mix) {
    m_mix = std::move(mix);
    m_thread.start([this] { run(); });
    return true;
}

void PortAudioOutput::stop() {
    m_thread.stop();
    if (m_stream != nullptr && m_running) {
        Pa_StopStream(static_cast<PaStream*>(m_stream));
        m_running = false;
    }
}

int PortAudioOutput::callback(void* output, unsigned long frames, unsigned long flags) {
    m_callbacks.fetch_add(1, std::memory_order_relaxed);
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

void PortAudioOutput::markLost(bool wasPlaying) {
    m_lost.store(true, std::memory_order_release);
    if (wasPlaying) {
        m_losses.fetch_add(1, std::memory_order_relaxed);
    }
    m_running = false;
    if (m_onLost) {
        m_onLost(this);
    }
}

bool PortAudioOutput::startStream() {
    // No callback runs before the start: the mixer thread may empty what the
    // dead stream left in the FIFO, so that the new one starts with the mix
    // of now.
    m_fifo.skip(m_fifo.readable());
    std::vector<std::int16_t> block(std::size_t{m_period} * 2);
    const std::size_t periodBytes = std::size_t{m_period} * kFramebytes;
    while (m_fifo.writable() >= periodBytes) {
        m_mix(block.data(), 1);
        m_fifo.write(block.data(), periodBytes);
    }
    m_primed.store(true, std::memory_order_release);
    m_running =
        m_stream != nullptr && Pa_StartStream(static_cast<PaStream*>(m_stream)) == paNoError;
    m_startedAt = std::chrono::steady_clock::now();
    return m_running;
}

void PortAudioOutput::run() {
    using Clock = std::chrono::steady_clock;
    std::vector<std::int16_t> block(std::size_t{m_period} * 2);
    const std::size_t periodBytes = std::size_t{m_period} * kFramebytes;
    const auto period = std::chrono::nanoseconds(std::int64_t{m_period} * 1000000000 / m_rate);
    if (!startStream()) {
        markLost(true);
    }
    std::uint64_t callbacksSeen = m_callbacks.load(std::memory_order_relaxed);
    auto lastCallback = Clock::now();
    auto due = Clock::now();
    while (!m_thread.stopRequested()) {
        const auto now = Clock::now();
        if (m_lost.load(std::memory_order_relaxed)) {
            if (m_reopened.exchange(false, std::memory_order_acquire)) {
                if (startStream()) {
                    m_lost.store(false, std::memory_order_release);
                    callbacksSeen = m_callbacks.load(std::memory_order_relaxed);
                    lastCallback = Clock::now();
                    continue;
                }
                markLost(false);  // back too soon: try again
            }
            // Nobody listens: the mix goes on in real time all the same.
            m_mix(block.data(), 1);
            due += period;
            if (now - due > std::chrono::seconds(1)) {
                due = now;
            }
            m_thread.sleepUntil(due);
            continue;
        }
        while (m_fifo.writable() >= periodBytes) {
            m_mix(block.data(), 1);
            m_fifo.write(block.data(), periodBytes);
        }
        const std::uint64_t callbacks = m_callbacks.load(std::memory_order_relaxed);
        if (callbacks != callbacksSeen) {
            callbacksSeen = callbacks;
            lastCallback = now;
        } else if (now - lastCallback >
                       (now - m_startedAt > kTrustedAfter ? kSilentDevice : kStartingDevice) ||
                   Pa_IsStreamActive(static_cast<PaStream*>(m_stream)) != 1) {
            due = now;
            // A device that dies right after it was opened again had not
            // really come back: one loss, not one per attempt.
            markLost(now - m_startedAt > kTrustedAfter);
            continue;
        }
        // Sleep until about one period has been played out of the FIFO.
        const auto queued = static_cast<std::int64_t>(m_fifo.readable());
        const auto over = queued + static_cast<std::int64_t>(periodBytes) -
                          static_cast<std::int64_t>(m_fifo.capacity());
        const auto wait = std::chrono::microseconds(
            std::max<std::int64_t>(1000, over / kFramebytes * 1000000 / m_rate));
        m_thread.sleepFor(wait);
    }
}

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

std::int32_t PortAudioOutput::openStream(int paIndex) {
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
    PaStream* stream = nullptr;
    const PaError rc = Pa_OpenStream(&stream, nullptr, &params, m_rate,
                                     paFramesPerBufferUnspecified, paNoFlag, &paCallback, this);
    if (rc != paNoError) {
        if (rc == paInvalidSampleRate) {
            return kErrFreq;
        }
        return rc == paDeviceUnavailable ? kErrBusy : kErrDriver;
    }
    m_stream = stream;
    return kErrOk;
}

void PortAudioOutput::closeStream() {
    if (m_stream != nullptr) {
        Pa_CloseStream(static_cast<PaStream*>(m_stream));
        m_stream = nullptr;
    }
}

}  // namespace qvm::audio
