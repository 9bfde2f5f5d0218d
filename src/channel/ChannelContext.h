#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "audio/AudioEngine.h"
#include "channel/BlockQueue.h"
#include "core/TimeBase.h"
#include "dsp/DspHost.h"

namespace qvm {

class EventLog;
class TLanguage;
struct PlayerSettings;

// Slots of MainQueue. It is filled and drained on the UI thread within one
// tick, so it only ever holds the blocks of a tick or two.
inline constexpr int kMainQueueSlots = 64;

// What every channel shares with the player, handed to each channel instead of
// globals. Owned by the player; outlives its channels.
//
// Threads: engine, settings, language, log, mainQueue, mainFaderValue and
// wallClock are used on the UI thread only (the engine is thread-safe anyway).
// onAirIndex and sendDelay are also read by the sample tap on the mixer thread,
// mainVolume by the HTTP threads; each is a self-contained value written on the
// UI thread, so relaxed order is enough. dspChain runs on the mixer thread.
struct ChannelContext {
    ChannelContext(audio::IAudioEngine& audioEngine, const PlayerSettings& playerSettings,
                   const TLanguage& lang, EventLog* eventLog = nullptr)
        : engine(audioEngine), settings(playerSettings), language(lang), log(eventLog) {
        mainQueue.Init(kMainQueueSlots);
    }
    ChannelContext(const ChannelContext&) = delete;
    ChannelContext& operator=(const ChannelContext&) = delete;

    audio::IAudioEngine& engine;
    const PlayerSettings& settings;
    const TLanguage& language;
    EventLog* log;  // channel error lines; may be null

    // Blocks of the channel on air, due for the studio program. Producer and
    // consumer: the UI thread.
    TStreamABuffer mainQueue;

    std::atomic<int> onAirIndex{-1};         // channel on air, -1 for none
    std::atomic<int> mainVolume{100};        // 0..100
    std::atomic<std::int64_t> sendDelay{0};  // ms added to every tapped block

    // The main fader's current value (0..100). Empty: taken as 0.
    std::function<double()> mainFaderValue;

    // The DSP plug-in chain, run in place over the block of the channel on air
    // on the mixer thread (interleaved 16-bit samples, length in bytes, the
    // stream's own rate and channel count). Must not block. Set before any
    // channel plays and left alone afterwards; empty: no chain.
    DspChain dspChain;

    // Local wall clock in days, for the restart plans and the channel faders.
    WallClock wallClock = &SystemWallClockDays;

    double MainFaderValue() const { return mainFaderValue ? mainFaderValue() : 0.0; }
};

}  // namespace qvm
