// qvm-soak: runs the real player for a given time against streams that fail
// on a schedule, samples the process every minute and analyses what it put on
// air. bench/soak.sh builds and starts it; docs/reliability.md holds results.
//
// Channels, all "Always", subordination, switching on silence and breaks; each
// has its own tone, so the captured mix tells which one is on air:
//   1  programme (fixture, 440 Hz, a title every second with odd bytes), the
//      one the faults below hit;
//   2  backup on icecast2, its source 1 % fast (660 Hz);
//   3  backup on icecast2, its source 1 % slow (880 Hz);
//   4  HLS live (550 Hz), whose newest segments vanish now and then;
//   5  a stream that turns to random bytes after ten seconds;
//   6  a host name that does not exist.
#include <signal.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "support/AudioAnalysis.h"
#include "support/ChildProcess.h"
#include "support/HlsFixture.h"
#include "support/IcecastFixture.h"
#include "support/StreamServer.h"

namespace {

using namespace qvm::test;
using Clock = std::chrono::steady_clock;

constexpr double kProgrammeHz = 440.0;
constexpr double kTones[] = {440.0, 660.0, 880.0, 550.0};  // channels 1..4
constexpr double kSilenceTime = 2.0;
constexpr double kRestoreTime = 2.0;
constexpr double kBreakTime = 3.0;
constexpr double kConnectTime = 10.0;
constexpr double kBuffer = 2.0;
constexpr double kFade = 0.5;
constexpr double kCycle = 300.0;    // the fault schedule repeats every five minutes
constexpr double kReconnect = 1.5;  // a new connection, its burst and the catch-up

// What happens to the programme's server, and how the player should answer.
enum class Fault { Drop, Status503, Status404, Html, Silence, Hang, Garbage, VanishHls };

struct Planned {
    double at;  // seconds into the cycle
    Fault fault;
    double seconds;  // how long the server stays that way
};

// The programme's faults in one cycle; between them it is healthy long enough
// to take the air back (ConnectTime after a break, RestoreTime after silence).
const Planned kSchedule[] = {
    {30, Fault::Drop, 0},        {70, Fault::Status503, 30}, {125, Fault::Silence, 20},
    {165, Fault::Status404, 15}, {205, Fault::Html, 20},     {235, Fault::VanishHls, 0},
    {245, Fault::Hang, 15},      {275, Fault::Garbage, 8},
};

const char* FaultName(Fault f) {
    switch (f) {
        case Fault::Drop:
            return "dropped connection";
        case Fault::Status503:
            return "503 answers";
        case Fault::Status404:
            return "404 answers";
        case Fault::Html:
            return "HTML page";
        case Fault::Silence:
            return "silence";
        case Fault::Hang:
            return "server hangs";
        case Fault::Garbage:
            return "random bytes";
        case Fault::VanishHls:
            return "HLS segments vanish";
    }
    return "?";
}

// The time the player may take from the fault at the server to a substitute
// on air; negative when no switch is expected. Every fault starts by dropping
// the programme's connection, so what the buffer holds plays out first.
double SwitchBound(Fault f) {
    switch (f) {
        case Fault::Silence:
            // The buffer, a reconnect (the silence comes on a new connection),
            // then SilenceTime of silence.
            return kBuffer + kReconnect + kSilenceTime;
        case Fault::Status503:
        case Fault::Status404:
        case Fault::Html:
        case Fault::Hang:
        case Fault::Garbage:
            // The buffer, the underrun watchdog (armed for a second once the
            // fill is down to 5 %), then BreakTime from the first reconnect.
            return kBuffer + 1.0 + kBreakTime;
        default:
            return -1;
    }
}

struct Event {
    double wall;  // seconds since the player started
    Fault fault;
    double seconds;
};

struct Sample {
    double minute;
    double rssMb;
    // Of which the process's own memory (heap, stacks) and the pages of its
    // program and libraries, which grow as code runs for the first time (a
    // fault path) and are shared and reclaimable: a leak shows in the first.
    double anonMb;
    double fileMb;
    int fds;
    int threads;
    double cpuSeconds;
};

// Titles with quotes, semicolons, an emoji, Latin-1 bytes and a cut sequence.
const std::vector<std::string> kOddTitles = {
    "Artist - Song", "It's; \"quoted\"",     "Émilie – Ça va 🎵",   "Latin-1 \xe9t\xe9",
    "cut \xe2\x82",  "StreamTitle='inner';", "<b>bold</b> & more",
};

Script ProgrammeScript() {
    Script script;
    for (std::size_t i = 0; i < kOddTitles.size(); ++i) {
        script.push_back(Title{kOddTitles[i]});
        script.push_back(Tone{kProgrammeHz, 1.0, 0.5});
    }
    return script;
}

MountSpec Programme(Script script, bool loop) {
    MountSpec spec;
    spec.icyName = "Soak Programme";
    spec.icyBr = 128;
    spec.loop = loop;
    spec.script = std::move(script);
    return spec;
}

Sample SampleProcess(qint64 pid, double minute) {
    Sample s{minute, -1, -1, -1, -1, -1, -1};
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray& line : status.readAll().split('\n')) {
            if (line.startsWith("VmRSS:")) {
                s.rssMb = line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
            } else if (line.startsWith("RssAnon:")) {
                s.anonMb = line.mid(8).trimmed().split(' ').first().toDouble() / 1024.0;
            } else if (line.startsWith("RssFile:")) {
                s.fileMb = line.mid(8).trimmed().split(' ').first().toDouble() / 1024.0;
            } else if (line.startsWith("Threads:")) {
                s.threads = line.mid(8).trimmed().toInt();
            }
        }
    }
    s.fds = static_cast<int>(QDir(QStringLiteral("/proc/%1/fd").arg(pid))
                                 .entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System)
                                 .size());
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (stat.open(QIODevice::ReadOnly)) {
        const QByteArray text = stat.readAll();
        const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 13) {
            s.cpuSeconds = (fields[11].toDouble() + fields[12].toDouble()) /
                           static_cast<double>(sysconf(_SC_CLK_TCK));
        }
    }
    return s;
}

std::string Arg(int argc, char** argv, const std::string& name, const std::string& fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (name == argv[i]) {
            return argv[i + 1];
        }
    }
    return fallback;
}

// The channel (0-based) whose tone holds a window, -1 for silence, -2 for
// something else (a cross-fade, noise).
int OnAir(const WindowStats& w) {
    if (w.rmsDb < -40.0) {
        return -1;
    }
    for (int i = 0; i < 4; ++i) {
        if (std::abs(w.frequency - kTones[i]) < kTones[i] * 0.02) {
            return i;
        }
    }
    return -2;
}

struct Switch {
    double at;  // capture seconds
    int from;
    int to;
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const double minutes = std::stod(Arg(argc, argv, "--minutes", "60"));
    const QString player = QString::fromStdString(Arg(argc, argv, "--player", ""));
    const std::string reportPath = Arg(argc, argv, "--report", "soak-report.md");
    const QString work = QString::fromStdString(Arg(argc, argv, "--work", ""));
    if (player.isEmpty() || work.isEmpty()) {
        std::fprintf(stderr,
                     "usage: qvm-soak --player BIN_DIR/QVMirelta --work DIR [--minutes 60] "
                     "[--report FILE]\n");
        return 2;
    }
    QDir().mkpath(work);
    const QString folder = QDir(work).absolutePath() + QLatin1Char('/');

    // --- the streams ---
    StreamServer server;
    server.addMount("/programme.mp3", Programme(ProgrammeScript(), true));
    server.addMount("/junk.mp3",
                    Programme({Tone{990.0, 10.0, 0.5}, Garbage{std::size_t{1} << 40}}, false));
    IcecastFixture fast(
        {.mount = "/fast.mp3", .name = "Soak Fast", .toneHz = 660.0, .readRate = 1.01});
    IcecastFixture slow(
        {.mount = "/slow.mp3", .name = "Soak Slow", .toneHz = 880.0, .readRate = 0.99});
    HlsFixture hls(server, {.toneHz = 550.0, .segmentSeconds = 2.0, .live = true, .liveWindow = 5});
    for (auto [ok, why] :
         {std::pair{fast.start(), fast.error()}, std::pair{slow.start(), slow.error()},
          std::pair{hls.start(), hls.error()}}) {
        if (!ok) {
            std::fprintf(stderr, "soak: a fixture did not start: %s\n", why.c_str());
            return 1;
        }
    }

    // --- the player, in a folder of its own ---
    const QDir bin = QFileInfo(player).dir();
    QFile::remove(folder + QStringLiteral("QVMirelta"));
    QFile::copy(player, folder + QStringLiteral("QVMirelta"));
    QFile::setPermissions(folder + QStringLiteral("QVMirelta"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    for (const QString& name : bin.entryList({QStringLiteral("QVMirelta.*.lng")}, QDir::Files)) {
        QFile::remove(folder + name);
        QFile::copy(bin.filePath(name), folder + name);
    }
    QDir(folder + QStringLiteral("Log")).removeRecursively();
    const QStringList urls = {
        QString::fromStdString(server.url("/programme.mp3")),
        QString::fromStdString(fast.url()),
        QString::fromStdString(slow.url()),
        QString::fromStdString(hls.url()),
        QString::fromStdString(server.url("/junk.mp3")),
        QStringLiteral("http://soak-unknown-host.invalid/stream"),
    };
    QString ini = QStringLiteral(
                      "[Setting]\nLanguage=English\nSourceMode=1\nLog=1\nDevice=Null output\n"
                      "Bitrate=0\nWait=10\nVolume=100\nBuffer=%1\nSilenceLevel=-36\n"
                      "SilenceTime=%2\nRestoreTime=%3\nBreakTime=%4\nConnectTime=%5\nFadeOut=0\n"
                      "FadeIn=0\nChFadeOut=%6\nChFadeIn=%6\nSwitchMode=0\nSwitchBy=3\nTimeOut=3\n"
                      "HTTPPort=0\n[Channels]\n")
                      .arg(kBuffer)
                      .arg(kSilenceTime)
                      .arg(kRestoreTime)
                      .arg(kBreakTime)
                      .arg(kConnectTime)
                      .arg(kFade);
    for (int i = 0; i < urls.size(); ++i) {
        ini += QStringLiteral("URL%1=%2\nAlways%1=1\nAmp%1=0\n").arg(i + 1).arg(urls[i]);
    }
    QFile iniFile(folder + QStringLiteral("QVMirelta.ini"));
    if (!iniFile.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        iniFile.write(ini.toUtf8()) < 0) {
        std::fprintf(stderr, "soak: cannot write the settings file\n");
        return 1;
    }
    iniFile.close();
    const QString capture = folder + QStringLiteral("capture.wav");
    QFile::remove(capture);
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("QVMIRELTA_CAPTURE_WAV"), capture);
    process.setProcessEnvironment(env);
    process.setStandardOutputFile(folder + QStringLiteral("stdout.txt"));
    process.setStandardErrorFile(folder + QStringLiteral("stderr.txt"));
    process.setWorkingDirectory(folder);
    EndWithParent(process);
    process.start(folder + QStringLiteral("QVMirelta"), {});
    if (!process.waitForStarted(10000)) {
        std::fprintf(stderr, "soak: the player did not start\n");
        return 1;
    }
    const auto started = Clock::now();
    const auto since = [&] {
        return std::chrono::duration<double>(Clock::now() - started).count();
    };

    // --- the schedule ---
    std::vector<Event> events;
    std::vector<Sample> samples;
    const double total = minutes * 60.0;
    double nextSample = 0.0;
    std::size_t nextFault = 0;
    int cycle = 0;
    std::vector<std::pair<double, std::function<void()>>> restores;
    bool crashed = false;
    while (since() < total) {
        const double now = since();
        if (process.state() == QProcess::NotRunning) {
            crashed = true;
            break;
        }
        if (now >= nextSample) {
            samples.push_back(SampleProcess(process.processId(), now / 60.0));
            nextSample += 60.0;
        }
        const Planned& plan = kSchedule[nextFault];
        const double due = cycle * kCycle + plan.at;
        if (now >= due && due + plan.seconds + kConnectTime + 5 < total) {
            events.push_back({now, plan.fault, plan.seconds});
            const auto restoreProgramme = [&server] {
                server.setMode(ServerMode::Serve);
                server.addMount("/programme.mp3", Programme(ProgrammeScript(), true));
            };
            switch (plan.fault) {
                case Fault::Drop:
                    server.kick("/programme.mp3");
                    break;
                case Fault::Status503:
                case Fault::Status404:
                case Fault::Html:
                    server.addMount(
                        "/programme.mp3",
                        Programme(
                            {plan.fault == Fault::Html
                                 ? Step{Html{}}
                                 : Step{HttpError{plan.fault == Fault::Status503 ? 503 : 404}}},
                            false));
                    server.kick("/programme.mp3");
                    restores.emplace_back(now + plan.seconds, restoreProgramme);
                    break;
                case Fault::Silence:
                    server.addMount("/programme.mp3", Programme({Silence{kForever}}, false));
                    server.kick("/programme.mp3");
                    restores.emplace_back(now + plan.seconds, [&server, restoreProgramme] {
                        restoreProgramme();
                        server.kick("/programme.mp3");
                    });
                    break;
                case Fault::Hang:
                    server.setMode(ServerMode::Hang);
                    server.kick("/programme.mp3");
                    restores.emplace_back(now + plan.seconds, restoreProgramme);
                    break;
                case Fault::Garbage:
                    server.addMount("/programme.mp3", Programme({Tone{kProgrammeHz, 1.0, 0.5},
                                                                 Garbage{std::size_t{1} << 40}},
                                                                false));
                    server.kick("/programme.mp3");
                    restores.emplace_back(now + plan.seconds, restoreProgramme);
                    break;
                case Fault::VanishHls: {
                    QDir segments(QString::fromStdString(hls.folder()));
                    QStringList files =
                        segments.entryList({QStringLiteral("*.ts")}, QDir::Files, QDir::Name);
                    for (int i = std::max(0, static_cast<int>(files.size()) - 2); i < files.size();
                         ++i) {
                        segments.remove(files[i]);
                    }
                    break;
                }
            }
            nextFault = (nextFault + 1) % std::size(kSchedule);
            if (nextFault == 0) {
                ++cycle;
            }
        }
        for (auto it = restores.begin(); it != restores.end();) {
            if (now >= it->first) {
                it->second();
                it = restores.erase(it);
            } else {
                ++it;
            }
        }
        QThread::msleep(100);
    }
    samples.push_back(SampleProcess(process.processId(), since() / 60.0));
    bool cleanExit = false;
    if (!crashed) {
        ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
        cleanExit = process.waitForFinished(15000) &&
                    process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    }

    // --- what went on air ---
    std::string error;
    const auto wav = ReadWav(capture.toStdString(), &error);
    if (!wav) {
        std::fprintf(stderr, "soak: no capture: %s\n", error.c_str());
        return 1;
    }
    constexpr double kWindow = 0.25;
    const std::vector<WindowStats> windows = AnalyseWindows(*wav, kWindow);
    std::vector<int> airs;
    for (const WindowStats& w : windows) {
        airs.push_back(OnAir(w));
    }
    // Switches: a channel's tone takes over and holds for a second.
    std::vector<Switch> switches;
    int current = -1;
    for (std::size_t i = 0; i + 4 <= airs.size(); ++i) {
        const int a = airs[i];
        if (a < 0 || a == current) {
            continue;
        }
        bool holds = true;
        for (std::size_t j = i; j < i + 4; ++j) {
            holds = holds && airs[j] == a;
        }
        if (holds) {
            if (current >= 0) {
                switches.push_back({windows[i].start, current, a});
            }
            current = a;
        }
    }
    // Holes: 3 ms or more of digital silence in the mix.
    std::vector<std::pair<double, double>> holes;  // start, length (seconds)
    const std::size_t minRun = static_cast<std::size_t>(wav->sampleRate) * 3 / 1000;
    std::size_t run = 0;
    for (std::size_t f = 0; f < wav->frames(); ++f) {
        const bool quiet =
            std::abs(wav->samples[2 * f]) <= 1 && std::abs(wav->samples[2 * f + 1]) <= 1;
        if (quiet) {
            ++run;
            continue;
        }
        if (run >= minRun) {
            holes.push_back({static_cast<double>(f - run) / wav->sampleRate,
                             static_cast<double>(run) / wav->sampleRate});
        }
        run = 0;
    }
    // The capture starts with the player's output; its clock is the wall's.
    const double firstSound = [&] {
        for (std::size_t i = 0; i < airs.size(); ++i) {
            if (airs[i] >= 0) {
                return windows[i].start;
            }
        }
        return 0.0;
    }();
    // A hole is explained by a programme fault (from the fault to its end plus
    // the time the player takes to give the air away and take it back), by a
    // switch next to it, or by the start before anything played.
    const auto explained = [&](double t) {
        if (t < firstSound + 1.0) {
            return true;
        }
        for (const Event& e : events) {
            if (e.fault == Fault::VanishHls) {
                continue;
            }
            if (t >= e.wall - 1.0 && t <= e.wall + e.seconds + kConnectTime + kBuffer + 6.0) {
                return true;
            }
        }
        for (const Switch& s : switches) {
            if (std::abs(t - s.at) <= kFade + 1.0) {
                return true;
            }
        }
        return false;
    };
    int unexplained = 0;
    std::ostringstream holeList;
    for (const auto& [at, length] : holes) {
        if (!explained(at)) {
            ++unexplained;
            holeList << "  - hole of " << static_cast<int>(length * 1000) << " ms at "
                     << static_cast<int>(at) << " s\n";
        }
    }
    // Each fault that should give the air away: the first switch away from the
    // programme after it, and the delay against its bound.
    std::ostringstream table;
    table << "| at (s) | fault | lasts (s) | switch away after (s) | bound (s) | back after (s) |\n"
          << "|---|---|---|---|---|---|\n";
    int late = 0;
    int missed = 0;
    // The channel on air at a moment of the capture (-1 before it or silence).
    const auto airAt = [&](double t) {
        const auto i = static_cast<std::size_t>(std::max(0.0, t) / kWindow);
        return i < airs.size() ? airs[i] : -1;
    };
    int offAir = 0;
    for (const Event& e : events) {
        const double bound = SwitchBound(e.fault);
        std::string away = "-";
        std::string back = "-";
        // A fault of a programme that is not on air (still coming back from
        // the last one) has no air to give away.
        if (bound >= 0 && airAt(e.wall - 0.5) != 0) {
            away = "not on air";
            ++offAir;
        } else if (bound >= 0) {
            const auto s = std::find_if(switches.begin(), switches.end(), [&](const Switch& sw) {
                return sw.from == 0 && sw.at >= e.wall - 1.0;
            });
            if (s == switches.end() || s->at > e.wall + bound + 5.0) {
                ++missed;
                away = "none";
            } else {
                const double delay = s->at - e.wall;
                away = std::to_string(delay).substr(0, 4);
                if (delay > bound + 1.5) {
                    ++late;
                }
                const auto r =
                    std::find_if(s, switches.end(), [](const Switch& sw) { return sw.to == 0; });
                if (r != switches.end()) {
                    back = std::to_string(r->at - (e.wall + e.seconds)).substr(0, 4);
                }
            }
        }
        table << "| " << static_cast<int>(e.wall) << " | " << FaultName(e.fault) << " | "
              << e.seconds << " | " << away << " | "
              << (bound >= 0 ? std::to_string(bound).substr(0, 3) : std::string("-")) << " | "
              << back << " |\n";
    }
    std::ostringstream resources;
    resources
        << "| minute | RSS (MB) | of it anonymous | of it file pages | descriptors | threads | "
           "CPU (s) |\n|---|---|---|---|---|---|---|\n";
    for (const Sample& s : samples) {
        resources << "| " << static_cast<int>(std::lround(s.minute)) << " | " << s.rssMb << " | "
                  << s.anonMb << " | " << s.fileMb << " | " << s.fds << " | " << s.threads << " | "
                  << s.cpuSeconds << " |\n";
    }
    // Flat after warm-up: the samples from the tenth minute on (a third of a
    // shorter run).
    const double warmUp = std::min(10.0, minutes / 3.0);
    double rssMin = 1e9, rssMax = 0, anonMin = 1e9, anonMax = 0;
    int fdMin = 1 << 30, fdMax = 0, thrMin = 1 << 30, thrMax = 0;
    for (const Sample& s : samples) {
        if (s.minute < warmUp) {
            continue;
        }
        rssMin = std::min(rssMin, s.rssMb);
        rssMax = std::max(rssMax, s.rssMb);
        anonMin = std::min(anonMin, s.anonMb);
        anonMax = std::max(anonMax, s.anonMb);
        fdMin = std::min(fdMin, s.fds);
        fdMax = std::max(fdMax, s.fds);
        thrMin = std::min(thrMin, s.threads);
        thrMax = std::max(thrMax, s.threads);
    }
    std::ostringstream report;
    report << "## Soak of " << minutes << " minutes\n\n"
           << "- player: " << player.toStdString() << "\n"
           << "- ended: "
           << (crashed     ? "CRASHED"
               : cleanExit ? "clean exit on SIGTERM"
                           : "unclean exit")
           << "\n- capture: " << wav->seconds() << " s; " << switches.size() << " switches; "
           << holes.size() << " holes of 3 ms or more, " << unexplained
           << " not explained by a fault or a switch\n"
           << "- faults: " << events.size() << " (" << offAir
           << " met the programme off air, still coming back from the one before); switches "
              "late: "
           << late << "; expected switches missing: " << missed << "\n"
           << "- after warm-up (" << warmUp << " min): RSS " << rssMin << " .. " << rssMax
           << " MB (anonymous " << anonMin << " .. " << anonMax << " MB), descriptors " << fdMin
           << " .. " << fdMax << ", threads " << thrMin << " .. " << thrMax << "\n\n"
           << table.str() << "\n"
           << resources.str() << "\n";
    if (unexplained > 0) {
        report << "Unexplained holes:\n" << holeList.str() << "\n";
    }
    std::ofstream(reportPath) << report.str();
    std::fputs(report.str().c_str(), stdout);
    const bool healthy = !crashed && cleanExit && unexplained == 0 && late == 0 && missed == 0;
    return healthy ? 0 : 3;
}
