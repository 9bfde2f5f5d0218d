// Arbitrary bytes as the datagrams one connection brings to the player's
// window on the studio link: each is a little-endian u16 (bit 15: the link
// scans its folder after this datagram; bits 0-14: the length) and that many
// bytes. Each datagram is read as the link reads it, and each command goes
// through the link's handling of control commands, Hello and Goodbye
// verified by real scans of a private folder that holds the player's window
// and one studio window (handle 1f595ed8). A sender of 0 stands for the
// player's own handle, which is random.
//
// Aborts when a datagram is read into something it does not hold, when the
// list of peers is out of order, holds a window twice, the player itself or
// a window that is not in the folder, or when the peers found and lost do not
// add up to the list.
#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "studio/WinMsg.h"

namespace {

using namespace qvm;

constexpr std::uint32_t kStudio = 0x1f595ed8;

void Require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "studio_fuzzer: %s\n", what);
        std::abort();
    }
}

// The folder with the player's window and a studio window that accepts
// connections and says nothing: the link only connects to verify peers.
struct Folder {
    QTemporaryDir dir;
    std::unique_ptr<TWinMSG> link;
    int studioFd = -1;
    int found = 0;
    int lost = 0;

    Folder() {
        TWinMSG::Options options;
        options.folder = dir.path();
        options.scanMs = 3600 * 1000;  // scans when the input says
        QString error;
        link = TWinMSG::Create(options, &error);
        Require(link != nullptr, "no link");
        link->OnPeerFound = [this](TWinMSG&, const PeerWindow&) { ++found; };
        link->OnPeerLost = [this](TWinMSG&, const PeerWindow&) { ++lost; };

        studioFd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        const QByteArray path = QFile::encodeName(
            dir.path() + QStringLiteral("/TStudio.%1").arg(kStudio, 8, 16, QLatin1Char('0')));
        Require(path.size() < static_cast<qsizetype>(sizeof addr.sun_path), "folder too deep");
        std::memcpy(addr.sun_path, path.constData(), static_cast<std::size_t>(path.size()));
        Require(studioFd >= 0 &&
                    ::bind(studioFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                    ::listen(studioFd, 64) == 0,
                "no studio window");
    }

    void CheckPeers() const {
        const std::vector<PeerWindow>& peers = link->Peers();
        Require(found - lost == static_cast<int>(peers.size()), "found and lost do not add up");
        for (std::size_t i = 0; i < peers.size(); ++i) {
            Require(peers[i].Handle != link->OwnHandle(), "the player is its own peer");
            Require(peers[i].Handle == kStudio && peers[i].ClassName == "TStudio",
                    "a peer that is no window in the folder");
            Require(i == 0 || static_cast<std::int32_t>(peers[i - 1].Handle) <
                                  static_cast<std::int32_t>(peers[i].Handle),
                    "peers out of order or twice");
        }
    }

    // Every input starts with no peers and no connections to the studio.
    void Reset() {
        const std::vector<PeerWindow> peers = link->Peers();
        for (const PeerWindow& peer : peers) {
            link->Leave(peer.Handle);
        }
        link->Scan();
        CheckPeers();
        Require(link->Peers().empty(), "a peer stays after Goodbye");
        for (int fd; (fd = ::accept(studioFd, nullptr, nullptr)) >= 0;) {
            ::close(fd);
        }
        found = lost = 0;
    }
};

Folder& TheFolder() {
    static Folder folder;
    return folder;
}

void CheckPacket(const QByteArray& datagram, const std::optional<LinkPacket>& packet) {
    if (!packet) {
        return;
    }
    Require(datagram.size() >= 12, "a packet from a short datagram");
    const auto type = qFromLittleEndian<std::uint32_t>(datagram.constData());
    Require(packet->isData ? type == 2 : type == 1 && datagram.size() == 12, "the wrong type");
    Require(packet->sender == qFromLittleEndian<std::uint32_t>(datagram.constData() + 4), "sender");
    Require(packet->value == qFromLittleEndian<std::uint32_t>(datagram.constData() + 8), "value");
    Require(packet->bytes == (packet->isData ? datagram.mid(12) : QByteArray()), "block bytes");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static QCoreApplication app(*argc, *argv);
    TheFolder();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Folder& folder = TheFolder();
    TWinMSG& link = *folder.link;
    std::size_t at = 0;
    while (at + 2 <= size) {
        const std::uint16_t word = qFromLittleEndian<std::uint16_t>(data + at);
        at += 2;
        const std::size_t length = std::min<std::size_t>(word & 0x7FFF, size - at);
        const QByteArray datagram(reinterpret_cast<const char*>(data + at),
                                  static_cast<qsizetype>(length));
        at += length;

        const std::optional<LinkPacket> packet = ParseLinkPacket(datagram);
        CheckPacket(datagram, packet);
        if (!packet) {
            break;  // the link closes the connection
        }
        if (!packet->isData) {
            const std::uint32_t sender = packet->sender == 0 ? link.OwnHandle() : packet->sender;
            const TWinMSG::Control c = link.HandleMessage(sender, packet->value);
            Require(static_cast<std::uint16_t>(c.hi) == packet->value >> 16 &&
                        c.lo == (packet->value & 0xFFFF) &&
                        c.isControl == (c.hi == TWinMSG::kControl),
                    "lParam split wrongly");
        }
        if ((word & 0x8000) != 0) {
            link.Scan();
            folder.CheckPeers();
        }
    }
    link.Scan();
    folder.CheckPeers();
    folder.Reset();
    return 0;
}
