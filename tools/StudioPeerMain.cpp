// qvm-studio: the reference studio program of the studio link. It finds the
// players on the link, says Hello to one, sends it commands, prints every
// notice and title it receives with a time stamp, and writes the PCM of the
// channel on air to a WAV file.
//
//   qvm-studio list
//   qvm-studio [--player HANDLE] [--wav FILE] [--seconds N] [COMMAND ...]
//
// COMMANDs are sent in order after the Hello, half a second apart: play,
// play-fade, stop, stop-fade, fade-in, fade-out, volume=N, identify, goodbye.
// Without --seconds it runs until SIGINT or SIGTERM, then says Goodbye.
// --folder DIR uses another rendezvous folder than the player's default.
#include <QCoreApplication>
#include <QDateTime>
#include <QSocketNotifier>
#include <QTimer>
#include <QtEndian>

#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>

#include "audio/WavWriter.h"
#include "studio/WinMsg.h"

namespace {

using qvm::PeerWindow;
using qvm::TWinMSG;

int g_signalPipe[2] = {-1, -1};

void OnSignal(int) {
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(g_signalPipe[1], &byte, 1);
}

void Print(const QString& text) {
    std::printf("%s %s\n",
                qPrintable(QDateTime::currentDateTime().toString(QStringLiteral("hh:mm:ss.zzz"))),
                qPrintable(text));
    std::fflush(stdout);
}

QString NoteText(std::uint32_t lParam) {
    const std::uint16_t hi = lParam >> 16;
    const std::uint16_t lo = lParam & 0xFFFF;
    switch (hi) {
        case 0x0400:
            return QStringLiteral("notice silence %1").arg(lo);
        case 0x0401:
            return QStringLiteral("notice online %1").arg(lo);
        case 0x1000:
            return QStringLiteral("notice device-timeout");
        case 0x1001:
            return QStringLiteral("notice device-ready");
        case 0x7FFF:
            return lo == 0 ? QStringLiteral("hello") : QStringLiteral("notice goodbye %1").arg(lo);
        default:
            return QStringLiteral("command %1 %2").arg(hi).arg(lo);
    }
}

// PCM blocks to WAV files: FILE, then FILE.2.wav, … whenever the format
// changes.
class PcmFiles {
  public:
    explicit PcmFiles(QString path) : m_path(std::move(path)) {}
    void add(const QByteArray& block) {
        if (block.size() < 22) {
            return;
        }
        ++m_blocks;
        m_bytes += block.size();
        if (m_first == 0) {
            m_first = QDateTime::currentMSecsSinceEpoch();
        }
        const auto rate = qFromLittleEndian<std::int32_t>(block.constData());
        const auto chans = static_cast<std::uint8_t>(block[4]);
        double left = 0;
        double right = 0;
        std::memcpy(&left, block.constData() + 6, 8);
        std::memcpy(&right, block.constData() + 14, 8);
        if (rate != m_rate || chans != m_chans) {
            m_rate = rate;
            m_chans = chans;
            m_writer.close();
            if (!m_path.isEmpty() && rate > 0 && chans > 0) {
                const QString file =
                    ++m_files == 1 ? m_path : QStringLiteral("%1.%2.wav").arg(m_path).arg(m_files);
                m_writer.open(file.toStdString(), static_cast<std::uint32_t>(rate), chans);
                Print(QStringLiteral("pcm %1 Hz, %2 channel(s) -> %3")
                          .arg(rate)
                          .arg(chans)
                          .arg(file));
            } else {
                Print(QStringLiteral("pcm %1 Hz, %2 channel(s)").arg(rate).arg(chans));
            }
        }
        if (m_writer.isOpen() && chans > 0) {
            m_writer.write(reinterpret_cast<const std::int16_t*>(block.constData() + 22),
                           static_cast<std::size_t>(block.size() - 22) / 2 / chans);
        }
        // The levels the player computed, once a second.
        const std::int64_t now = QDateTime::currentMSecsSinceEpoch();
        if (now - m_lastLevels >= 1000) {
            m_lastLevels = now;
            Print(QStringLiteral("levels %1 %2 dB").arg(left, 0, 'f', 1).arg(right, 0, 'f', 1));
            m_writer.flush();
        }
    }
    void close() {
        m_writer.close();
        const double seconds =
            m_first == 0 ? 0.0 : (QDateTime::currentMSecsSinceEpoch() - m_first) / 1000.0;
        Print(QStringLiteral("pcm received: %1 blocks, %2 bytes in %3 s")
                  .arg(m_blocks)
                  .arg(m_bytes)
                  .arg(seconds, 0, 'f', 1));
    }

  private:
    QString m_path;
    qvm::audio::WavWriter m_writer;
    std::int32_t m_rate = 0;
    int m_chans = 0;
    int m_files = 0;
    std::int64_t m_lastLevels = 0;
    std::int64_t m_first = 0;
    qint64 m_blocks = 0;
    qint64 m_bytes = 0;
};

struct Command {
    std::int16_t hi;
    std::uint16_t lo;
};

std::optional<Command> ParseCommand(const QString& word) {
    if (word == QLatin1String("play"))
        return Command{0, 0};
    if (word == QLatin1String("play-fade"))
        return Command{0, 2};
    if (word == QLatin1String("stop"))
        return Command{1, 0};
    if (word == QLatin1String("stop-fade"))
        return Command{1, 3};
    if (word == QLatin1String("fade-in"))
        return Command{2, 0};
    if (word == QLatin1String("fade-out"))
        return Command{3, 0};
    if (word == QLatin1String("identify"))
        return Command{0x7FFF, 0x7FFF};
    if (word == QLatin1String("goodbye"))
        return Command{0x7FFF, 2};
    if (word.startsWith(QLatin1String("volume="))) {
        bool ok = false;
        const int volume = word.mid(7).toInt(&ok);
        if (ok && volume >= 0 && volume <= 0xFFFF) {
            return Command{16, static_cast<std::uint16_t>(volume)};
        }
    }
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    TWinMSG::Options options;
    options.className = "TQVStudio";
    QString wav;
    std::uint32_t wanted = 0;
    double seconds = -1;
    QList<Command> commands;
    bool list = false;
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == QLatin1String("--folder") && hasValue) {
            options.folder = args[++i];
        } else if (a == QLatin1String("--wav") && hasValue) {
            wav = args[++i];
        } else if (a == QLatin1String("--seconds") && hasValue) {
            seconds = args[++i].toDouble();
        } else if (a == QLatin1String("--player") && hasValue) {
            wanted = args[++i].toUInt(nullptr, 16);
        } else if (a == QLatin1String("list")) {
            list = true;
        } else if (const auto command = ParseCommand(a)) {
            commands << *command;
        } else {
            std::fprintf(stderr,
                         "usage: qvm-studio list\n"
                         "       qvm-studio [--player HANDLE] [--wav FILE] [--seconds N] "
                         "[--folder DIR] [play|play-fade|stop|stop-fade|fade-in|fade-out|"
                         "volume=N|identify|goodbye ...]\n");
            return 2;
        }
    }

    QString error;
    std::unique_ptr<TWinMSG> link = TWinMSG::Create(options, &error);
    if (!link) {
        std::fprintf(stderr, "qvm-studio: %s\n", qPrintable(error));
        return 1;
    }
    std::uint32_t player = 0;
    for (const PeerWindow& w : link->EnumWindows()) {
        if (w.ClassName == "TQV_Mirelta" && (wanted == 0 || w.Handle == wanted)) {
            if (list) {
                std::printf("%08x %s\n", w.Handle, w.ClassName.constData());
            } else if (player == 0) {
                player = w.Handle;
            }
        }
    }
    if (list) {
        return 0;
    }
    if (player == 0) {
        std::fprintf(stderr, "qvm-studio: no player on the link in %s\n",
                     qPrintable(link->Folder()));
        return 1;
    }

    PcmFiles pcm(wav);
    link->setCommandHandler([&link](std::uint32_t wParam, std::uint32_t lParam) {
        link->HandleMessage(wParam, lParam);
        Print(NoteText(lParam));
        return 0;
    });
    link->setDataHandler([&pcm](std::uint32_t, std::uint32_t kind, const QByteArray& bytes) {
        if (kind == 0x00010000) {
            Print(QStringLiteral("title %1").arg(QString::fromUtf8(bytes.mid(6))));
        } else if (kind == 0) {
            pcm.add(bytes);
        } else {
            Print(QStringLiteral("data %1, %2 bytes")
                      .arg(kind, 8, 16, QLatin1Char('0'))
                      .arg(bytes.size()));
        }
        return 0;
    });
    link->OnPeerLost = [](TWinMSG&, const PeerWindow& p) {
        Print(QStringLiteral("gone %1").arg(p.Handle, 8, 16, QLatin1Char('0')));
    };

    bool answered = false;
    link->SendCommand(player, 0x7FFF, 0, &answered);
    link->Announce(player);  // the player is our peer too: its going is noticed
    Print(QStringLiteral("hello %1%2")
              .arg(player, 8, 16, QLatin1Char('0'))
              .arg(answered ? QString() : QStringLiteral(" (no answer)")));
    int delay = 500;
    for (const Command& c : commands) {
        QTimer::singleShot(delay, &app, [&link, player, c] {
            const std::int32_t reply = link->SendCommand(player, c.hi, c.lo);
            Print(QStringLiteral("sent %1 %2, reply %3").arg(c.hi).arg(c.lo).arg(reply));
        });
        delay += 500;
    }

    if (::pipe(g_signalPipe) != 0) {
        return 1;
    }
    std::signal(SIGINT, OnSignal);
    std::signal(SIGTERM, OnSignal);
    QSocketNotifier signalNotifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [&app] { app.quit(); });
    if (seconds >= 0) {
        QTimer::singleShot(static_cast<int>(seconds * 1000), &app, [&app] { app.quit(); });
    }
    app.exec();
    link->SendCommand(player, 0x7FFF, 2);
    pcm.close();
    return 0;
}
