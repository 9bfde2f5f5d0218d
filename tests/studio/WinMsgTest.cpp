// The studio link's transport over real Unix sockets in a private folder:
// one link on the test's thread (the player's window), others on threads of
// their own with their own event loops (other programs' windows).
#include "studio/WinMsg.h"

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QFile>
#include <QTest>
#include <QThread>
#include <QtEndian>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <future>
#include <memory>
#include <optional>

#include "support/LinkThread.h"
#include "support/TempDir.h"

namespace qvm {
namespace {

class WinMsg : public ::testing::Test {
  protected:
    void SetUp() override {
        ::chmod(QFile::encodeName(dir.path()).constData(), 0700);
        TWinMSG::Options options;
        options.folder = dir.path();
        options.scanMs = 3600 * 1000;  // scans when the test says
        QString error;
        player = TWinMSG::Create(options, &error);
        ASSERT_TRUE(player) << error.toStdString();
        player->setCommandHandler([this](std::uint32_t w, std::uint32_t l) {
            const TWinMSG::Control c = player->HandleMessage(w, l);
            return c.isControl && c.lo == TWinMSG::kIdentify ? 7 : 0;
        });
        player->OnPeerFound = [this](TWinMSG&, const PeerWindow& p) {
            events << QStringLiteral("found %1 %2")
                          .arg(p.Handle, 0, 16)
                          .arg(QString::fromUtf8(p.ClassName));
        };
        player->OnPeerLost = [this](TWinMSG&, const PeerWindow& p) {
            events << QStringLiteral("lost %1").arg(p.Handle, 0, 16);
        };
    }
    TWinMSG::Options studioOptions(int sendWaitMs = 500) const {
        TWinMSG::Options options;
        options.folder = dir.path();
        options.className = "TStudio";
        options.scanMs = 3600 * 1000;
        options.sendWaitMs = sendWaitMs;
        return options;
    }
    static std::int32_t command(test::LinkThread& from, std::uint32_t to, std::int16_t hi,
                                std::uint16_t lo) {
        return from.call([to, hi, lo](TWinMSG& link) { return link.SendCommand(to, hi, lo); });
    }

    test::TempDir dir;
    std::unique_ptr<TWinMSG> player;
    QStringList events;
};

TEST_F(WinMsg, PeersComeByHelloAndGoByGoodbye) {
    test::LinkThread studio(studioOptions());
    ASSERT_TRUE(studio.ok());
    const std::uint32_t me = player->OwnHandle();
    const QString id = QString::number(studio.handle(), 16);
    EXPECT_TRUE(QFile::exists(dir.path() +
                              QStringLiteral("TQV_Mirelta.%1").arg(me, 8, 16, QLatin1Char('0'))));

    // Two Hello before the scan: one peer, found once.
    EXPECT_EQ(command(studio, me, TWinMSG::kControl, TWinMSG::kHello), 0);
    EXPECT_EQ(command(studio, me, TWinMSG::kControl, TWinMSG::kHello), 0);
    EXPECT_TRUE(player->Peers().empty()) << "verified by the scan";
    player->Scan();
    ASSERT_EQ(player->Peers().size(), 1u);
    EXPECT_EQ(player->Peers()[0].ClassName, "TStudio");
    EXPECT_EQ(events, QStringList{QStringLiteral("found %1 TStudio").arg(id)});
    command(studio, me, TWinMSG::kControl, TWinMSG::kHello);
    player->Scan();
    EXPECT_EQ(events.size(), 1) << "a Hello from a peer changes nothing";

    EXPECT_EQ(command(studio, me, TWinMSG::kControl, TWinMSG::kIdentify), 7);
    EXPECT_EQ(player->Peers().size(), 1u) << "Identify leaves the list alone";

    for (const std::uint16_t goodbye : {std::uint16_t{2}, std::uint16_t{0x8000}}) {
        events.clear();
        command(studio, me, TWinMSG::kControl, TWinMSG::kHello);
        player->Scan();
        command(studio, me, TWinMSG::kControl, goodbye);
        EXPECT_TRUE(player->Peers().empty()) << goodbye;
        EXPECT_EQ(events.last(), QStringLiteral("lost %1").arg(id)) << goodbye;
    }
    events.clear();
    command(studio, me, TWinMSG::kControl, 2);
    EXPECT_TRUE(events.isEmpty()) << "a Goodbye from no peer raises nothing";

    // With no peers nothing is sent.
    QElapsedTimer t;
    t.start();
    player->Broadcast(0x0400, 1);
    EXPECT_TRUE(player->SendData(0, 0, QByteArray(100, 'x')));
    EXPECT_LT(t.elapsed(), 50);
}

TEST(WinMsgPacket, DatagramsAreReadIntoPacketsOrRefused) {
    const auto datagram = [](std::uint32_t type, std::uint32_t sender, std::uint32_t value,
                             const QByteArray& tail = {}) {
        QByteArray bytes(12, Qt::Uninitialized);
        qToLittleEndian(type, bytes.data());
        qToLittleEndian(sender, bytes.data() + 4);
        qToLittleEndian(value, bytes.data() + 8);
        return bytes + tail;
    };
    const struct {
        const char* what;
        QByteArray bytes;
        std::optional<LinkPacket> packet;
    } cases[] = {
        {"command", datagram(1, 0x1f595ed8, 0x7fff0000),
         LinkPacket{false, 0x1f595ed8, 0x7fff0000, {}}},
        {"data block", datagram(2, 7, 0x00010000, QByteArray("\xff\xff\0\0\0\0Title", 11)),
         LinkPacket{true, 7, 0x00010000, QByteArray("\xff\xff\0\0\0\0Title", 11)}},
        {"empty data block", datagram(2, 7, 0), LinkPacket{true, 7, 0, {}}},
        {"command with a tail", datagram(1, 7, 0, "x"), std::nullopt},
        {"reply", datagram(3, 0, 0).left(8), std::nullopt},
        {"reply of 12 bytes", datagram(3, 0, 0), std::nullopt},
        {"unknown type", datagram(0, 7, 0), std::nullopt},
        {"short", datagram(1, 7, 0).left(11), std::nullopt},
        {"4 MiB in all", datagram(2, 7, 0, QByteArray((4 << 20) - 12, 'x')),
         LinkPacket{true, 7, 0, QByteArray((4 << 20) - 12, 'x')}},
        {"too large", datagram(2, 7, 0, QByteArray(4 << 20, 'x')), std::nullopt},
    };
    for (const auto& c : cases) {
        const std::optional<LinkPacket> packet = ParseLinkPacket(c.bytes);
        ASSERT_EQ(packet.has_value(), c.packet.has_value()) << c.what;
        if (packet) {
            EXPECT_EQ(packet->isData, c.packet->isData) << c.what;
            EXPECT_EQ(packet->sender, c.packet->sender) << c.what;
            EXPECT_EQ(packet->value, c.packet->value) << c.what;
            EXPECT_EQ(packet->bytes, c.packet->bytes) << c.what;
        }
    }
}

// The sender's handle is only what a packet says: a Hello in the player's own
// name, from a raw client, must not make the player its own peer.
TEST_F(WinMsg, AHelloInThePlayersOwnNameAddsNoPeer) {
    const std::uint32_t me = player->OwnHandle();
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const QByteArray path = QFile::encodeName(
        dir.path() + QStringLiteral("TQV_Mirelta.%1").arg(me, 8, 16, QLatin1Char('0')));
    std::strncpy(addr.sun_path, path.constData(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    char hello[12];
    qToLittleEndian<std::uint32_t>(1, hello);
    qToLittleEndian<std::uint32_t>(me, hello + 4);
    qToLittleEndian<std::uint32_t>(std::uint32_t{TWinMSG::kControl} << 16 | TWinMSG::kHello,
                                   hello + 8);
    ASSERT_EQ(::send(fd, hello, sizeof hello, 0), static_cast<ssize_t>(sizeof hello));
    char reply[8];
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return ::recv(fd, reply, sizeof reply, MSG_DONTWAIT) == sizeof reply; }, 5000))
        << "answered";
    ::close(fd);

    player->Scan();
    EXPECT_TRUE(player->Peers().empty());
    EXPECT_TRUE(events.isEmpty()) << events.join(QLatin1Char(',')).toStdString();
}

// A peer may say Hello under any handle, as often as it likes: a flood of
// them between two scans costs the next scan one pass over them, and the one
// window among them that is there is found.
TEST_F(WinMsg, AFloodOfHelloCostsTheScanOnePass) {
    test::LinkThread studio(studioOptions());
    ASSERT_TRUE(studio.ok());
    const std::uint32_t hello = std::uint32_t{TWinMSG::kControl} << 16 | TWinMSG::kHello;
    for (std::uint32_t i = 0; i < 100'000; ++i) {
        const std::uint32_t handle = 0x40000000u + i;
        if (handle != studio.handle() && handle != player->OwnHandle()) {
            player->HandleMessage(handle, hello);
        }
        if (i == 50'000) {
            player->HandleMessage(studio.handle(), hello);
        }
    }
    QElapsedTimer t;
    t.start();
    player->Scan();
    EXPECT_LT(t.elapsed(), 2000);
    ASSERT_EQ(player->Peers().size(), 1u);
    EXPECT_EQ(player->Peers()[0].Handle, studio.handle());
}

TEST_F(WinMsg, CommandsAndBlocksArriveWithTheirSenderAndAreAnswered) {
    struct Seen {
        std::uint32_t sender = 0;
        std::uint32_t value = 0;
        QByteArray bytes;
    };
    auto seen = std::make_shared<Seen>();
    test::LinkThread studio(studioOptions(), [seen](TWinMSG& link) {
        link.setCommandHandler([seen](std::uint32_t w, std::uint32_t l) {
            seen->sender = w;
            seen->value = l;
            return 9;
        });
        link.setDataHandler([seen](std::uint32_t w, std::uint32_t kind, const QByteArray& bytes) {
            seen->sender = w;
            seen->value = kind;
            seen->bytes = bytes;
            return 0;
        });
    });
    command(studio, player->OwnHandle(), TWinMSG::kControl, TWinMSG::kHello);
    player->Scan();

    bool answered = false;
    EXPECT_EQ(player->SendCommand(studio.handle(), 0x0401, 3, &answered), 9);
    EXPECT_TRUE(answered);
    EXPECT_EQ(seen->sender, player->OwnHandle());
    EXPECT_EQ(seen->value, 0x04010003u);

    QByteArray pcm(22 + 3840, '\0');
    for (int i = 0; i < pcm.size(); ++i) {
        pcm[i] = static_cast<char>(i * 7);
    }
    EXPECT_TRUE(player->SendData(0, 0, pcm));
    EXPECT_EQ(seen->value, 0u);
    EXPECT_EQ(seen->bytes, pcm) << "the block arrives whole";
    EXPECT_TRUE(player->SendData(1, 0, QByteArray("\xff\xff\0\0\0\0", 6)));
    EXPECT_EQ(seen->value, 0x00010000u);
    EXPECT_EQ(seen->bytes.size(), 6) << "an empty title";
}

// A peer may call back while the player waits for its reply; the player
// serves the call meanwhile, and both replies arrive.
TEST_F(WinMsg, APeerThatCallsBackDuringASendIsServed) {
    const std::uint32_t me = player->OwnHandle();
    test::LinkThread studio(studioOptions(), [me](TWinMSG& link) {
        link.setCommandHandler([&link, me](std::uint32_t, std::uint32_t) {
            return link.SendCommand(me, TWinMSG::kControl, TWinMSG::kIdentify) + 100;
        });
    });
    QElapsedTimer t;
    t.start();
    bool answered = false;
    EXPECT_EQ(player->SendCommand(studio.handle(), 0x0400, 0, &answered), 107);
    EXPECT_TRUE(answered);
    EXPECT_LT(t.elapsed(), 400);
}

// A studio program that hangs costs the bounded wait once; it is skipped
// until it has answered, then served again.
TEST_F(WinMsg, AHungPeerCostsTheBoundedWaitOnce) {
    player.reset();
    TWinMSG::Options options;
    options.folder = dir.path();
    options.sendWaitMs = 300;
    options.scanMs = 50;
    player = TWinMSG::Create(options);
    ASSERT_TRUE(player);
    auto hangMs = std::make_shared<std::atomic<int>>(1500);
    test::LinkThread studio(studioOptions(), [hangMs](TWinMSG& link) {
        link.setCommandHandler([hangMs](std::uint32_t, std::uint32_t) {
            QThread::msleep(static_cast<unsigned long>(hangMs->exchange(0)));
            return 1;
        });
    });
    command(studio, player->OwnHandle(), TWinMSG::kControl, TWinMSG::kHello);
    player->Scan();
    ASSERT_EQ(player->Peers().size(), 1u);

    QElapsedTimer t;
    t.start();
    bool answered = true;
    player->SendCommand(studio.handle(), 0x0400, 0, &answered);
    EXPECT_FALSE(answered);
    EXPECT_GE(t.elapsed(), 250);
    EXPECT_LT(t.elapsed(), 1000);
    t.restart();
    player->Broadcast(0x0400, 0);
    EXPECT_LT(t.elapsed(), 50) << "skipped while it owes a reply";
    EXPECT_EQ(player->Peers().size(), 1u) << "hung is not gone";

    // Once it has answered, a scan finds it answering again.
    QTest::qWait(1800);
    EXPECT_EQ(player->SendCommand(studio.handle(), 0x0400, 0, &answered), 1);
    EXPECT_TRUE(answered);
}

// A program that ends without Goodbye is dropped by the next scan; one that
// crashed leaves its socket file, which counts as gone and is cleared away.
TEST_F(WinMsg, VanishedAndStalePeersAreDropped) {
    {
        test::LinkThread studio(studioOptions());
        command(studio, player->OwnHandle(), TWinMSG::kControl, TWinMSG::kHello);
        player->Scan();
        ASSERT_EQ(player->Peers().size(), 1u);
    }
    player->Scan();
    EXPECT_TRUE(player->Peers().empty());
    EXPECT_TRUE(events.last().startsWith(QLatin1String("lost ")));

    // A socket file nobody listens on any more.
    const QString stale = dir.path() + QStringLiteral("TStudio.0000abcd");
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, QFile::encodeName(stale).constData(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(fd);
    events.clear();
    player->Announce(0xabcd);
    player->Scan();
    EXPECT_TRUE(player->Peers().empty());
    EXPECT_TRUE(events.isEmpty()) << "gone before it was verified: no peer lost";
    EXPECT_FALSE(QFile::exists(stale)) << "the stale file is cleared away";
    EXPECT_EQ(player->SendCommand(0xabcd, 0x0400, 0), 0);
}

TEST_F(WinMsg, AFolderOthersMayEnterIsRefused) {
    const QString open = dir.path() + QStringLiteral("open/");
    ASSERT_EQ(::mkdir(QFile::encodeName(open).constData(), 0755), 0);
    ::chmod(QFile::encodeName(open).constData(), 0755);
    TWinMSG::Options options;
    options.folder = open;
    QString error;
    EXPECT_FALSE(TWinMSG::Create(options, &error));
    EXPECT_TRUE(error.contains(QLatin1String("others may enter it"))) << error.toStdString();
    EXPECT_TRUE(error.contains(QLatin1String("runs without the studio link")));
    // A missing folder is made, private.
    options.folder = dir.path() + QStringLiteral("made");
    EXPECT_TRUE(TWinMSG::Create(options, &error)) << error.toStdString();
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(options.folder).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

}  // namespace
}  // namespace qvm
