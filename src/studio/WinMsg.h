#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

class QSocketNotifier;
class QTimer;

namespace qvm {

// A window of another program on the link.
struct PeerWindow {
    std::uint32_t Handle = 0;
    QByteArray ClassName;  // at most 252 bytes
};

// The rendezvous folder of the link: $XDG_RUNTIME_DIR/qvmirelta-link/, or
// /tmp/qvmirelta-link-<uid>/ without that variable. Created with mode 0700
// when missing; empty, with the reason in `error`, when it belongs to another
// user or others may enter it.
QString PrepareLinkFolder(QString* error);
QString PrepareLinkFolder(const QString& path, QString* error);
QString DefaultLinkFolderPath();

// A datagram a peer sent to a window: a command (12 bytes) or a data block
// (12 bytes and the block), with the sender's handle and lParam or the kind.
struct LinkPacket {
    bool isData = false;
    std::uint32_t sender = 0;
    std::uint32_t value = 0;
    QByteArray bytes;  // a data block's, after its 12 bytes
};
// None for what no peer of ours sends (a reply, an unknown type, a command of
// another length, fewer than 12 bytes, more than 4 MiB): the connection that
// brought it is closed.
std::optional<LinkPacket> ParseLinkPacket(const QByteArray& datagram);

// The link between the player's window and the windows of other programs
// (the studio program), over Unix sockets in the rendezvous folder: each
// window is a listening SOCK_SEQPACKET socket named <ClassName>.<handle> (the
// handle as 8 lower-case hexadecimal digits), every command and data block is
// one datagram, answered on the same connection by one reply.
//
// Peers come only through Hello and leave through Goodbye or when a scan
// (every 100 ms) finds their socket gone or replaced. Sends are synchronous
// with a bounded wait; while waiting, the link serves what arrives on its own
// socket. A peer that does not answer in time is skipped until its late reply
// has come.
//
// UI thread only.
class TWinMSG {
  public:
    static constexpr std::int16_t kControl = 0x7FFF;
    static constexpr std::uint16_t kHello = 0;
    static constexpr std::uint16_t kIdentify = 0x7FFF;

    struct Options {
        QString folder;  // empty: PrepareLinkFolder
        QByteArray className = "TQV_Mirelta";
        int scanMs = 100;
        int sendWaitMs = 500;
    };
    // The owner's handler of a command: wParam (the sender) and lParam; its
    // return value is the reply.
    using CommandHandler = std::function<std::int32_t(std::uint32_t wParam, std::uint32_t lParam)>;
    // The owner's handler of a data block: the sender, dwData and the bytes.
    using DataHandler = std::function<std::int32_t(std::uint32_t wParam, std::uint32_t kind,
                                                   const QByteArray& bytes)>;
    using PeerEvent = std::function<void(TWinMSG& link, const PeerWindow& peer)>;

    // Listens in the folder under a new handle; null, with the reason in
    // `error`, when the folder or the socket cannot be had.
    static std::unique_ptr<TWinMSG> Create(Options options, QString* error = nullptr);
    ~TWinMSG();
    TWinMSG(const TWinMSG&) = delete;
    TWinMSG& operator=(const TWinMSG&) = delete;

    std::uint32_t OwnHandle() const { return m_own; }
    const QString& Folder() const { return m_folder; }
    const std::vector<PeerWindow>& Peers() const { return m_peers; }

    void setCommandHandler(CommandHandler handler) { m_onCommand = std::move(handler); }
    void setDataHandler(DataHandler handler) { m_onData = std::move(handler); }
    PeerEvent OnPeerFound;
    PeerEvent OnPeerLost;

    struct Control {
        bool isControl = false;
        std::int16_t hi = 0;
        std::uint16_t lo = 0;
    };
    // Splits lParam and carries out Hello (queued for the next scan) and
    // Goodbye (the sender leaves); the owner calls it for every command.
    Control HandleMessage(std::uint32_t wParam, std::uint32_t lParam);
    void Announce(std::uint32_t handle);
    void Leave(std::uint32_t handle);

    // Sends a command to the window `handle` and returns its reply (0 when it
    // could not be reached or did not answer in time; `answered` tells).
    std::int32_t SendCommand(std::uint32_t handle, std::int16_t hi, std::uint16_t lo,
                             bool* answered = nullptr);
    void Broadcast(std::int16_t hi, std::uint16_t lo);
    // One data block to every peer; false when any peer could not take it.
    bool SendData(std::int16_t hi, std::uint16_t lo, const QByteArray& bytes);
    // To one window.
    bool SendDataTo(std::uint32_t handle, std::uint32_t kind, const QByteArray& bytes);

    // The windows in the folder now: handle and class name, sorted by handle,
    // the link's own included.
    std::vector<PeerWindow> EnumWindows() const;
    void Scan();

  private:
    struct Incoming;
    struct Outgoing;

    TWinMSG() = default;
    void acceptConnections();
    // Serves every datagram waiting on `connection`; false once it closed.
    bool serve(Incoming& connection);
    void serveAll();
    Outgoing* connectTo(std::uint32_t handle);
    // Sends `packet` and waits for its reply, serving the own socket meanwhile.
    std::optional<std::int32_t> exchange(std::uint32_t handle, const QByteArray& packet);
    void collectLateReplies(Outgoing& out);
    bool alive(std::uint32_t handle);
    void dropOutgoing(std::uint32_t handle);
    // The class of the window `handle` in the folder, or none.
    std::optional<QByteArray> classOf(std::uint32_t handle) const;
    QString socketPath(std::uint32_t handle, const QByteArray& className) const;

    QString m_folder;
    QByteArray m_className;
    int m_sendWaitMs = 500;
    std::uint32_t m_own = 0;
    int m_listenFd = -1;
    std::unique_ptr<QSocketNotifier> m_listenNotifier;
    std::unique_ptr<QTimer> m_scanTimer;
    std::vector<std::unique_ptr<Incoming>> m_incoming;
    std::map<std::uint32_t, std::unique_ptr<Outgoing>> m_outgoing;
    std::vector<PeerWindow> m_peers;    // sorted by handle
    std::vector<PeerWindow> m_pending;  // announced, not yet verified
    bool m_busy = false;
    int m_serving = 0;  // nesting of serveAll, so that no connection goes while in use
    CommandHandler m_onCommand;
    DataHandler m_onData;
};

}  // namespace qvm
