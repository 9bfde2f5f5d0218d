#pragma once

#include <gtest/gtest.h>

// These tests start the player through QProcess, whose clone() ThreadSanitizer
// cannot follow (it stops the test process at its next thread). The player's
// threads are covered under ThreadSanitizer by the engine, channel and player
// tests; the end-to-end runs belong to the normal and AddressSanitizer builds.
#if defined(__SANITIZE_THREAD__)
#define QVM_E2E_SKIP_UNDER_TSAN() \
    GTEST_SKIP()                  \
        << "ThreadSanitizer cannot follow QProcess's clone(); run this test in a normal build"
#else
#define QVM_E2E_SKIP_UNDER_TSAN() (void)0
#endif

#include <QString>
#include <QStringList>
#include <chrono>
#include <optional>

#include "e2e/PlayerProcess.h"
#include "support/AudioAnalysis.h"
#include "support/StreamScript.h"

namespace qvm::test {

// Settings the end-to-end tests vary; the rest is fixed by PlayerIni: null
// output at 48 kHz, autoplay of the first channel without a main fade, log
// files on.
struct PlayerConfig {
    QStringList urls;
    // Per channel; channels beyond the list play always, so that a substitute
    // is ready.
    QList<bool> always;
    int switchMode = 0;
    int switchBy = 3;
    double silenceTime = 1.5;
    double restoreTime = 1.5;
    double breakTime = 2.0;
    double connectTime = 2.0;
    double chFadeIn = 0.5;
    double timeOut = 2.0;
    double buffer = 1.0;
    int delay = 0;  // ms
    QString runOnChange;
    QString runOnRestore;
    // The remote control: off at port 0; on loopback only.
    int httpPort = 0;
    QString httpUser;
    QString httpPass;
};

QString PlayerIni(const PlayerConfig& config);

// A stereo 128 kbit/s MP3 mount playing `script`.
MountSpec Mount(Script script);

// Waits until the capture shows a change from a tone of `fromHz` to a tone of
// `toHz` (0 = silence) after `from` seconds; the time of the change in the
// capture, or none after `timeout`.
std::optional<double> WaitForChange(const PlayerProcess& player, double fromHz, double toHz,
                                    double from, std::chrono::milliseconds timeout);

// The strongest level (peak dBFS) of the tone `hz` in 100 ms windows of the
// capture between `from` and `to` seconds.
double MaxToneLevelDb(const WavData& wav, double hz, double from, double to);
// The loudest RMS (dBFS) of 100 ms windows between `from` and `to` seconds.
double MaxRmsDb(const WavData& wav, double from, double to);

// The lines of the player's event logs under `folder` (its Log/ folder), in
// file order, without the time of day in front.
QStringList ReadLogLines(const QString& folder);

// Where step `step` of the latest connection to `path` starts in its stream,
// in seconds; none when the step has not been reached.
std::optional<double> StepStreamSeconds(const class StreamServer& server, const std::string& path,
                                        std::size_t step);

}  // namespace qvm::test
