#include "studio/WinMsg.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QSocketNotifier>
#include <QTimer>
#include <QtEndian>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace qvm {

namespace {

constexpr std::uint32_t kCommandPacket = 1;
constexpr std::uint32_t kDataPacket = 2;
constexpr std::uint32_t kReplyPacket = 3;
constexpr int kClassNameBytes = 252;
// Far above any title or PCM block; a datagram beyond it is a broken peer.
constexpr qsizetype kMaxPacketBytes = 4 << 20;

std::uint32_t U32(const char* p) {
    return qFromLittleEndian<std::uint32_t>(p);
}

QByteArray Packet(std::uint32_t type, std::uint32_t a, std::uint32_t b,
                  const QByteArray& tail = {}) {
    QByteArray packet(12 + tail.size(), Qt::Uninitialized);
    qToLittleEndian<std::uint32_t>(type, packet.data());
    qToLittleEndian<std::uint32_t>(a, packet.data() + 4);
    qToLittleEndian<std::uint32_t>(b, packet.data() + 8);
    if (!tail.isEmpty()) {
        std::memcpy(packet.data() + 12, tail.constData(), static_cast<std::size_t>(tail.size()));
    }
    return packet;
}

QByteArray Reply(std::int32_t result) {
    QByteArray reply(8, Qt::Uninitialized);
    qToLittleEndian<std::uint32_t>(kReplyPacket, reply.data());
    qToLittleEndian<std::int32_t>(result, reply.data() + 4);
    return reply;
}

bool FillAddress(const QString& path, sockaddr_un& addr) {
    const QByteArray bytes = QFile::encodeName(path);
    if (bytes.size() >= static_cast<qsizetype>(sizeof addr.sun_path)) {
        return false;
    }
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, bytes.constData(), static_cast<std::size_t>(bytes.size()));
    return true;
}

// A connected socket to `path`, or -1 (errno tells why).
int ConnectTo(const QString& path) {
    sockaddr_un addr{};
    if (!FillAddress(path, addr)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return -1;
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

bool SignedLess(std::uint32_t a, std::uint32_t b) {
    return static_cast<std::int32_t>(a) < static_cast<std::int32_t>(b);
}

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

std::optional<LinkPacket> ParseLinkPacket(const QByteArray& datagram) {
    if (datagram.size() < 12 || datagram.size() > kMaxPacketBytes) {
        return std::nullopt;
    }
    const std::uint32_t type = U32(datagram.constData());
    if (!(type == kCommandPacket && datagram.size() == 12) && type != kDataPacket) {
        return std::nullopt;
    }
    LinkPacket packet;
    packet.isData = type == kDataPacket;
    packet.sender = U32(datagram.constData() + 4);
    packet.value = U32(datagram.constData() + 8);
    if (packet.isData) {
        packet.bytes = datagram.mid(12);
    }
    return packet;
}

QString DefaultLinkFolderPath() {
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty()) {
        return QFile::decodeName(runtime) + QStringLiteral("/qvmirelta-link/");
    }
    return QStringLiteral("/tmp/qvmirelta-link-%1/").arg(::getuid());
}

QString PrepareLinkFolder(const QString& path, QString* error) {
    const QByteArray name = QFile::encodeName(path);
    ::mkdir(name.constData(), 0700);
    struct stat st {};
    QString why;
    if (::lstat(name.constData(), &st) != 0) {
        why = QString::fromLocal8Bit(std::strerror(errno));
    } else if (!S_ISDIR(st.st_mode)) {
        why = QStringLiteral("it is not a folder");
    } else if (st.st_uid != ::getuid()) {
        why = QStringLiteral("it belongs to another user");
    } else if ((st.st_mode & 077) != 0) {
        why = QStringLiteral("others may enter it (mode %1)")
                  .arg(st.st_mode & 0777, 3, 8, QLatin1Char('0'));
    }
    if (!why.isEmpty()) {
        if (error != nullptr) {
            *error = QStringLiteral(
                         "The studio link's folder %1 is refused: %2. The player runs "
                         "without the studio link.")
                         .arg(path, why);
        }
        return {};
    }
    return path.endsWith(QLatin1Char('/')) ? path : path + QLatin1Char('/');
}

QString PrepareLinkFolder(QString* error) {
    return PrepareLinkFolder(DefaultLinkFolderPath(), error);
}

struct TWinMSG::Incoming {
    int fd = -1;
    std::unique_ptr<QSocketNotifier> notifier;
    bool handling = false;  // inside the owner's handler: its reply must come first
    bool closed = false;
    ~Incoming() {
        notifier.reset();
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

struct TWinMSG::Outgoing {
    int fd = -1;
    int lateReplies = 0;   // replies of sends that were given up on
    bool waiting = false;  // an exchange waits on it
    ~Outgoing() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

std::unique_ptr<TWinMSG> TWinMSG::Create(Options options, QString* error) {
    std::unique_ptr<TWinMSG> link(new TWinMSG());
    link->m_folder = PrepareLinkFolder(
        options.folder.isEmpty() ? DefaultLinkFolderPath() : options.folder, error);
    if (link->m_folder.isEmpty()) {
        return nullptr;
    }
    link->m_className = options.className.left(kClassNameBytes);
    link->m_sendWaitMs = options.sendWaitMs;
    for (int attempt = 0; attempt < 32 && link->m_listenFd < 0; ++attempt) {
        const std::uint32_t handle = QRandomGenerator::global()->generate();
        if (handle == 0) {
            continue;
        }
        const QString path = link->socketPath(handle, link->m_className);
        sockaddr_un addr{};
        if (!FillAddress(path, addr)) {
            break;
        }
        // A handle is unique in the folder, whatever class took it.
        if (link->classOf(handle)) {
            continue;
        }
        const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) {
            break;
        }
        if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(fd, 16) != 0) {
            ::close(fd);
            continue;
        }
        ::chmod(QFile::encodeName(path).constData(), 0600);
        link->m_listenFd = fd;
        link->m_own = handle;
    }
    if (link->m_listenFd < 0) {
        if (error != nullptr) {
            *error = QStringLiteral("The studio link cannot listen in %1: %2")
                         .arg(link->m_folder, QString::fromLocal8Bit(std::strerror(errno)));
        }
        return nullptr;
    }
    TWinMSG* self = link.get();
    link->m_listenNotifier =
        std::make_unique<QSocketNotifier>(link->m_listenFd, QSocketNotifier::Read);
    QObject::connect(link->m_listenNotifier.get(), &QSocketNotifier::activated,
                     link->m_listenNotifier.get(), [self] { self->acceptConnections(); });
    link->m_scanTimer = std::make_unique<QTimer>();
    link->m_scanTimer->setInterval(options.scanMs);
    QObject::connect(link->m_scanTimer.get(), &QTimer::timeout, link->m_scanTimer.get(),
                     [self] { self->Scan(); });
    link->m_scanTimer->start();
    return link;
}

TWinMSG::~TWinMSG() {
    m_scanTimer.reset();
    m_listenNotifier.reset();
    m_incoming.clear();
    m_outgoing.clear();
    if (m_listenFd >= 0) {
        ::close(m_listenFd);
        ::unlink(QFile::encodeName(socketPath(m_own, m_className)).constData());
    }
}

QString TWinMSG::socketPath(std::uint32_t handle, const QByteArray& className) const {
    return m_folder + QString::fromUtf8(className) + QLatin1Char('.') +
           QStringLiteral("%1").arg(handle, 8, 16, QLatin1Char('0'));
}

std::vector<PeerWindow> TWinMSG::EnumWindows() const {
    std::vector<PeerWindow> windows;
    const QStringList names =
        QDir(m_folder).entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot);
    for (const QString& name : names) {
        const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
        const QString hex = name.mid(dot + 1);
        if (dot <= 0 || hex.size() != 8 || hex != hex.toLower()) {
            continue;
        }
        bool ok = false;
        const std::uint32_t handle = hex.toUInt(&ok, 16);
        if (!ok || handle == 0) {
            continue;
        }
        windows.push_back({handle, QFile::encodeName(name.left(dot)).left(kClassNameBytes)});
    }
    std::sort(windows.begin(), windows.end(), [](const PeerWindow& a, const PeerWindow& b) {
        return SignedLess(a.Handle, b.Handle);
    });
    return windows;
}

std::optional<QByteArray> TWinMSG::classOf(std::uint32_t handle) const {
    for (const PeerWindow& w : EnumWindows()) {
        if (w.Handle == handle) {
            return w.ClassName;
        }
    }
    return std::nullopt;
}

void TWinMSG::acceptConnections() {
    for (;;) {
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        auto connection = std::make_unique<Incoming>();
        connection->fd = fd;
        connection->notifier = std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read);
        Incoming* raw = connection.get();
        QObject::connect(raw->notifier.get(), &QSocketNotifier::activated, raw->notifier.get(),
                         [this, raw] {
                             ++m_serving;
                             if (!raw->closed && !raw->handling && !serve(*raw)) {
                                 // Freed later, not inside its own notifier's signal.
                                 raw->closed = true;
                                 raw->notifier->setEnabled(false);
                             }
                             --m_serving;
                         });
        m_incoming.push_back(std::move(connection));
    }
}

bool TWinMSG::serve(Incoming& connection) {
    for (;;) {
        const ssize_t size = ::recv(connection.fd, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
        if (size < 0) {
            return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
        }
        if (size == 0 || size > kMaxPacketBytes) {
            return false;  // closed, or no peer of ours
        }
        QByteArray datagram(static_cast<qsizetype>(size), Qt::Uninitialized);
        if (::recv(connection.fd, datagram.data(), static_cast<std::size_t>(size), MSG_DONTWAIT) !=
            size) {
            return false;
        }
        const std::optional<LinkPacket> packet = ParseLinkPacket(datagram);
        if (!packet) {
            return false;
        }
        std::int32_t result = 0;
        connection.handling = true;
        if (!packet->isData) {
            if (m_onCommand) {
                result = m_onCommand(packet->sender, packet->value);
            } else {
                HandleMessage(packet->sender, packet->value);
            }
        } else if (m_onData) {
            result = m_onData(packet->sender, packet->value, packet->bytes);
        }
        connection.handling = false;
        const QByteArray reply = Reply(result);
        if (::send(connection.fd, reply.constData(), static_cast<std::size_t>(reply.size()),
                   MSG_NOSIGNAL | MSG_DONTWAIT) != reply.size()) {
            return false;
        }
    }
}

void TWinMSG::serveAll() {
    acceptConnections();
    ++m_serving;
    // The list may grow while a handler runs; indexes stay valid.
    for (std::size_t i = 0; i < m_incoming.size(); ++i) {
        Incoming& connection = *m_incoming[i];
        if (!connection.closed && !connection.handling && !serve(connection)) {
            connection.closed = true;
            connection.notifier->setEnabled(false);
        }
    }
    --m_serving;
    if (m_serving == 0) {
        std::erase_if(m_incoming, [](const auto& c) { return c->closed; });
    }
}

TWinMSG::Control TWinMSG::HandleMessage(std::uint32_t wParam, std::uint32_t lParam) {
    Control control;
    control.hi = static_cast<std::int16_t>(lParam >> 16);
    control.lo = static_cast<std::uint16_t>(lParam & 0xFFFF);
    control.isControl = control.hi == kControl;
    if (control.isControl) {
        if (control.lo == kHello) {
            Announce(wParam);
        } else if (control.lo != kIdentify) {
            Leave(wParam);
        }
    }
    return control;
}

void TWinMSG::Announce(std::uint32_t handle) {
    // The sender's handle is only what the packet says: a Hello in the
    // window's own name would make it count and feed itself.
    if (handle == m_own) {
        return;
    }
    const bool known = std::any_of(m_peers.begin(), m_peers.end(),
                                   [handle](const PeerWindow& p) { return p.Handle == handle; });
    if (!known) {
        m_pending.push_back({handle, {}});
    }
}

void TWinMSG::Leave(std::uint32_t handle) {
    for (std::size_t i = 0; i < m_peers.size();) {
        if (m_peers[i].Handle != handle) {
            ++i;
            continue;
        }
        const PeerWindow gone = m_peers[i];
        m_peers.erase(m_peers.begin() + static_cast<std::ptrdiff_t>(i));
        if (OnPeerLost) {
            OnPeerLost(*this, gone);
        }
    }
    dropOutgoing(handle);
}

void TWinMSG::dropOutgoing(std::uint32_t handle) {
    const auto it = m_outgoing.find(handle);
    if (it != m_outgoing.end() && !it->second->waiting) {
        m_outgoing.erase(it);
    }
}

TWinMSG::Outgoing* TWinMSG::connectTo(std::uint32_t handle) {
    if (const auto it = m_outgoing.find(handle); it != m_outgoing.end()) {
        return it->second.get();
    }
    const std::optional<QByteArray> className = classOf(handle);
    if (!className) {
        return nullptr;
    }
    const int fd = ConnectTo(socketPath(handle, *className));
    if (fd < 0) {
        return nullptr;
    }
    auto out = std::make_unique<Outgoing>();
    out->fd = fd;
    Outgoing* raw = out.get();
    m_outgoing[handle] = std::move(out);
    return raw;
}

void TWinMSG::collectLateReplies(Outgoing& out) {
    char reply[8];
    while (out.lateReplies > 0 && ::recv(out.fd, reply, sizeof reply, MSG_DONTWAIT) ==
                                      static_cast<ssize_t>(sizeof reply)) {
        --out.lateReplies;
    }
}

std::optional<std::int32_t> TWinMSG::exchange(std::uint32_t handle, const QByteArray& packet) {
    Outgoing* cached = connectTo(handle);
    if (cached == nullptr) {
        return std::nullopt;
    }
    collectLateReplies(*cached);
    if (cached->lateReplies > 0) {
        return std::nullopt;  // skipped until it has answered what it owes
    }
    // A send made while another waits on the same peer (a handler called
    // during a send) takes a connection of its own, so replies stay in order.
    std::unique_ptr<Outgoing> own;
    Outgoing* out = cached;
    if (cached->waiting) {
        own = std::make_unique<Outgoing>();
        own->fd = ConnectTo(socketPath(handle, classOf(handle).value_or(QByteArray())));
        if (own->fd < 0) {
            return std::nullopt;
        }
        out = own.get();
    }
    if (::send(out->fd, packet.constData(), static_cast<std::size_t>(packet.size()),
               MSG_NOSIGNAL | MSG_DONTWAIT) != packet.size()) {
        if (out == cached) {
            dropOutgoing(handle);
        }
        return std::nullopt;  // gone, or so far behind that its queue is full
    }
    out->waiting = true;
    const std::int64_t deadline = NowMs() + m_sendWaitMs;
    std::optional<std::int32_t> result;
    bool broken = false;
    while (!result && !broken) {
        const std::int64_t left = deadline - NowMs();
        if (left <= 0) {
            break;
        }
        std::vector<pollfd> fds{{out->fd, POLLIN, 0}, {m_listenFd, POLLIN, 0}};
        for (const auto& c : m_incoming) {
            if (!c->closed && !c->handling) {
                fds.push_back({c->fd, POLLIN, 0});
            }
        }
        if (::poll(fds.data(), fds.size(), static_cast<int>(left)) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        if ((fds[0].revents & POLLIN) != 0) {
            char reply[8];
            if (::recv(out->fd, reply, sizeof reply, MSG_DONTWAIT) ==
                    static_cast<ssize_t>(sizeof reply) &&
                U32(reply) == kReplyPacket) {
                result = qFromLittleEndian<std::int32_t>(reply + 4);
            } else {
                broken = true;
            }
        } else if ((fds[0].revents & (POLLHUP | POLLERR)) != 0) {
            broken = true;
        }
        bool ownWork = false;
        for (std::size_t i = 1; i < fds.size(); ++i) {
            ownWork = ownWork || fds[i].revents != 0;
        }
        if (ownWork) {
            serveAll();  // a peer may call back while we wait for it
        }
    }
    out->waiting = false;
    if (!result && !broken && out == cached) {
        ++cached->lateReplies;  // it may still answer; until then it is skipped
    }
    if (broken && out == cached) {
        dropOutgoing(handle);
    }
    return result;
}

std::int32_t TWinMSG::SendCommand(std::uint32_t handle, std::int16_t hi, std::uint16_t lo,
                                  bool* answered) {
    const std::uint32_t lParam =
        (static_cast<std::uint32_t>(static_cast<std::uint16_t>(hi)) << 16) | lo;
    const std::optional<std::int32_t> reply =
        exchange(handle, Packet(kCommandPacket, m_own, lParam));
    if (answered != nullptr) {
        *answered = reply.has_value();
    }
    return reply.value_or(0);
}

void TWinMSG::Broadcast(std::int16_t hi, std::uint16_t lo) {
    const std::vector<PeerWindow> peers = m_peers;  // a reply may change the list
    for (const PeerWindow& peer : peers) {
        SendCommand(peer.Handle, hi, lo);
    }
}

bool TWinMSG::SendDataTo(std::uint32_t handle, std::uint32_t kind, const QByteArray& bytes) {
    return exchange(handle, Packet(kDataPacket, m_own, kind, bytes)).has_value();
}

bool TWinMSG::SendData(std::int16_t hi, std::uint16_t lo, const QByteArray& bytes) {
    const std::uint32_t kind =
        (static_cast<std::uint32_t>(static_cast<std::uint16_t>(hi)) << 16) | lo;
    const std::vector<PeerWindow> peers = m_peers;
    bool all = true;
    for (const PeerWindow& peer : peers) {
        all = SendDataTo(peer.Handle, kind, bytes) && all;
    }
    return all;
}

bool TWinMSG::alive(std::uint32_t handle) {
    if (const auto it = m_outgoing.find(handle); it != m_outgoing.end()) {
        Outgoing& out = *it->second;
        if (out.waiting) {
            return true;
        }
        collectLateReplies(out);
        pollfd p{out.fd, POLLIN, 0};
        if (::poll(&p, 1, 0) >= 0 && (p.revents & (POLLHUP | POLLERR)) == 0) {
            return true;
        }
        m_outgoing.erase(it);
        return false;
    }
    const std::optional<QByteArray> className = classOf(handle);
    if (!className) {
        return false;
    }
    const QString path = socketPath(handle, *className);
    const int fd = ConnectTo(path);
    if (fd < 0) {
        if (errno == ECONNREFUSED) {
            ::unlink(QFile::encodeName(path).constData());  // left by a program that has gone
        }
        return errno == EAGAIN;  // a full backlog: there, but busy
    }
    auto out = std::make_unique<Outgoing>();
    out->fd = fd;
    m_outgoing[handle] = std::move(out);
    return true;
}

void TWinMSG::Scan() {
    if (m_busy) {
        return;
    }
    m_busy = true;
    if (m_serving == 0) {
        std::erase_if(m_incoming, [](const auto& c) { return c->closed; });
    }
    // Nobody announced and nobody to watch: listing the folder ten times a
    // second would only cost the main thread.
    if (m_pending.empty() && m_peers.empty()) {
        m_busy = false;
        return;
    }
    const std::vector<PeerWindow> snapshot = EnumWindows();
    const auto find = [&snapshot](std::uint32_t handle) -> const PeerWindow* {
        const auto it = std::lower_bound(
            snapshot.begin(), snapshot.end(), handle,
            [](const PeerWindow& w, std::uint32_t h) { return SignedLess(w.Handle, h); });
        return it != snapshot.end() && it->Handle == handle ? &*it : nullptr;
    };
    // Announced windows, in the order they said Hello, taken all at once: a
    // peer that floods Hello between two scans costs one pass, not a shift
    // of the whole list for each. What is announced meanwhile waits for the
    // next scan.
    std::vector<PeerWindow> pending;
    pending.swap(m_pending);
    for (PeerWindow& taken : pending) {
        const bool known = std::any_of(m_peers.begin(), m_peers.end(), [&](const PeerWindow& p) {
            return p.Handle == taken.Handle;
        });
        const PeerWindow* window = find(taken.Handle);
        // One gone before it could be verified was never counted: nothing to
        // report.
        if (known || window == nullptr || !alive(taken.Handle)) {
            continue;
        }
        taken.ClassName = window->ClassName;
        const auto at = std::lower_bound(m_peers.begin(), m_peers.end(), taken,
                                         [](const PeerWindow& a, const PeerWindow& b) {
                                             return SignedLess(a.Handle, b.Handle);
                                         });
        const PeerWindow found = *m_peers.insert(at, taken);
        if (OnPeerFound) {
            OnPeerFound(*this, found);
        }
    }
    for (std::size_t i = 0; i < m_peers.size();) {
        const PeerWindow* window = find(m_peers[i].Handle);
        if (window != nullptr && window->ClassName == m_peers[i].ClassName &&
            alive(m_peers[i].Handle)) {
            ++i;
            continue;
        }
        const PeerWindow gone = m_peers[i];
        m_peers.erase(m_peers.begin() + static_cast<std::ptrdiff_t>(i));
        dropOutgoing(gone.Handle);
        if (OnPeerLost) {
            OnPeerLost(*this, gone);
        }
    }
    m_busy = false;
}

}  // namespace qvm
