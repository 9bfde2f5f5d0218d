#include "e2e/E2eSupport.h"

#include <QDirIterator>
#include <algorithm>

#include "support/StreamServer.h"

namespace qvm::test {

QString PlayerIni(const PlayerConfig& config) {
    QString ini = QStringLiteral(
                      "[Setting]\n"
                      "Language=English\n"
                      "SourceMode=1\n"
                      "Log=1\n"
                      "Device=Null output\n"
                      "Bitrate=0\n"
                      "Wait=10\n"
                      "Volume=100\n"
                      "Buffer=%11\n"
                      "SilenceLevel=-36\n"
                      "SilenceTime=%1\n"
                      "RestoreTime=%2\n"
                      "BreakTime=%3\n"
                      "ConnectTime=%4\n"
                      "FadeOut=0\n"
                      "FadeIn=0\n"
                      "ChFadeOut=0\n"
                      "ChFadeIn=%5\n"
                      "SwitchMode=%6\n"
                      "SwitchBy=%7\n"
                      "TimeOut=%10\n"
                      "Delay=%12\n"
                      "RunOnChange=%8\n"
                      "RunOnRestore=%9\n"
                      "HTTPPort=%13\n"
                      "HTTPUser=%14\n"
                      "HTTPPass=%15\n"
                      "HTTPAddress=127.0.0.1\n"
                      "[Channels]\n")
                      .arg(config.silenceTime)
                      .arg(config.restoreTime)
                      .arg(config.breakTime)
                      .arg(config.connectTime)
                      .arg(config.chFadeIn)
                      .arg(config.switchMode)
                      .arg(config.switchBy)
                      .arg(config.runOnChange, config.runOnRestore)
                      .arg(config.timeOut)
                      .arg(config.buffer)
                      .arg(config.delay)
                      .arg(config.httpPort)
                      .arg(config.httpUser, config.httpPass);
    for (int i = 0; i < config.urls.size(); ++i) {
        const bool always = i >= config.always.size() || config.always[i];
        ini += QStringLiteral("URL%1=%2\nAlways%1=%3\nAmp%1=0\n")
                   .arg(i + 1)
                   .arg(config.urls[i])
                   .arg(always ? 1 : 0);
    }
    return ini;
}

MountSpec Mount(Script script) {
    MountSpec spec;
    spec.icyName = "E2E";
    spec.icyBr = 128;
    spec.script = std::move(script);
    return spec;
}

std::optional<double> WaitForChange(const PlayerProcess& player, double fromHz, double toHz,
                                    double from, std::chrono::milliseconds timeout) {
    ChangeOptions options;
    options.from = from;
    std::optional<double> found;
    player.waitForCapture(
        [&](const WavData& wav) {
            found = FindChange(wav, fromHz, toHz, options);
            return found.has_value();
        },
        timeout);
    return found;
}

namespace {

template <typename Measure>
double MaxOverWindows(const WavData& wav, double from, double to, Measure measure) {
    double loudest = kSilentDb;
    for (double start = from; start + 0.1 <= to; start += 0.1) {
        const std::vector<float> window = wav.channel(-1, start, start + 0.1);
        loudest = std::max(loudest, measure(window));
    }
    return loudest;
}

}  // namespace

double MaxToneLevelDb(const WavData& wav, double hz, double from, double to) {
    return MaxOverWindows(wav, from, to, [&](const std::vector<float>& w) {
        return ToneLevelDb(w, wav.sampleRate, hz);
    });
}

double MaxRmsDb(const WavData& wav, double from, double to) {
    return MaxOverWindows(wav, from, to, [](const std::vector<float>& w) { return RmsDb(w); });
}

std::optional<double> StepStreamSeconds(const StreamServer& server, const std::string& path,
                                        std::size_t step) {
    const auto connection = server.lastConnection(path);
    if (!connection) {
        return std::nullopt;
    }
    for (const TimelineEntry& entry : connection->timeline) {
        if (entry.step == step) {
            return entry.streamSeconds;
        }
    }
    return std::nullopt;
}

QStringList ReadLogLines(const QString& folder) {
    QStringList files;
    QDirIterator logs(folder + QStringLiteral("Log"), {QStringLiteral("*.log")}, QDir::Files,
                      QDirIterator::Subdirectories);
    while (logs.hasNext()) {
        files << logs.next();
    }
    files.sort();
    QStringList lines;
    for (const QString& file : files) {
        for (const QString& line : ReadLines(file)) {
            lines << line.mid(line.indexOf(QLatin1Char(' ')) + 1).trimmed();
        }
    }
    return lines;
}

}  // namespace qvm::test
