#include "support/StreamServer.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/stat.h>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "support/Mp3Encoder.h"
#include "support/SocketIo.h"
#include "support/StreamSession.h"

namespace qvm::test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t kMaxConnections = 200;       // simultaneous; more are closed at once
constexpr std::size_t kMaxRecords = 20000;         // closed ones beyond this are forgotten
constexpr std::size_t kMaxTimeline = 100000;       // entries per connection
constexpr std::size_t kMaxFolderFile = 64u << 20;  // bytes
constexpr auto kRequestTimeout = std::chrono::milliseconds(5000);

std::string ContentTypeFor(const std::string& path) {
    static const std::pair<const char*, const char*> kTypes[] = {
        {".m3u8", "application/vnd.apple.mpegurl"},
        {".ts", "video/mp2t"},
        {".aac", "audio/aac"},
        {".mp3", "audio/mpeg"},
        {".m4s", "video/iso.segment"},
        {".mp4", "audio/mp4"},
        {".m4a", "audio/mp4"},
        {".ogg", "audio/ogg"},
        {".opus", "audio/ogg"},
        {".flac", "audio/flac"},
        {".wav", "audio/wav"},
        {".pls", "audio/x-scpls"},
        {".m3u", "audio/x-mpegurl"},
        {".xspf", "application/xspf+xml"},
        {".html", "text/html; charset=utf-8"},
        {".txt", "text/plain; charset=utf-8"},
    };
    for (const auto& [ext, type] : kTypes) {
        const std::size_t n = std::strlen(ext);
        if (path.size() >= n && path.compare(path.size() - n, n, ext) == 0) {
            return type;
        }
    }
    return "application/octet-stream";
}

// A folder-relative path that cannot leave the folder.
bool SafeRelativePath(const std::string& rel) {
    if (rel.empty() || rel.front() == '/' || rel.find('\0') != std::string::npos ||
        rel.find('\\') != std::string::npos) {
        return false;
    }
    std::istringstream parts(rel);
    std::string part;
    while (std::getline(parts, part, '/')) {
        if (part == "..") {
            return false;
        }
    }
    return true;
}

bool ReadWholeFile(const std::string& path, std::string& bytes) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<std::size_t>(info.st_size) > kMaxFolderFile) {
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return true;
}

// Half-closes after a complete reply and reads what the client still sends,
// so that closing does not reset the connection before the client has read it.
void CloseGracefully(int fd, int stopFd) {
    ::shutdown(fd, SHUT_WR);
    char sink[4096];
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(1000);
    while (Clock::now() < deadline) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (io::WaitReadable(fd, stopFd, left) != io::Wait::Ready) {
            break;
        }
        const ssize_t n = ::recv(fd, sink, sizeof sink, 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            break;
        }
    }
}

}  // namespace

struct StreamServer::Record {
    ConnectionRecord data;  // guarded by the server's m_mutex
    int fd = -1;            // while the connection is open; guarded by m_mutex
};

struct StreamServer::Worker {
    std::thread thread;
    std::atomic<bool> done{false};
};

StreamServer::StreamServer(int port) {
    m_stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_controlFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_listenFd = io::BindLoopback(port, true);
    if (m_stopFd < 0 || m_controlFd < 0 || m_listenFd < 0) {
        const std::string why = std::strerror(errno);
        for (int fd : {m_stopFd, m_controlFd, m_listenFd}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + why);
    }
    m_port = io::BoundPort(m_listenFd);
    m_acceptThread = std::thread(&StreamServer::acceptLoop, this);
}

StreamServer::~StreamServer() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_stopFd, &one, sizeof one);
    m_acceptThread.join();
    reapWorkers(true);
    for (int fd : {m_listenFd, m_holdFd, m_controlFd, m_stopFd}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

std::string StreamServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

void StreamServer::addMount(const std::string& path, MountSpec spec) {
    if (path.empty() || path.front() != '/') {
        throw std::invalid_argument("mount path must start with '/': " + path);
    }
    if (spec.script.empty()) {
        throw std::invalid_argument("mount " + path + " has an empty script");
    }
    for (const Script& script : spec.firstConnections) {
        if (script.empty()) {
            throw std::invalid_argument("mount " + path +
                                        " has an empty script in firstConnections");
        }
    }
    if (spec.metaint < 0 || spec.burstSeconds < 0) {
        throw std::invalid_argument("mount " + path + ": negative metaint or burst");
    }
    const std::string refusal = CheckMp3Format(spec.sampleRate, spec.channels, spec.bitrateKbps);
    if (!refusal.empty()) {
        throw std::invalid_argument("mount " + path + ": " + refusal);
    }
    std::lock_guard lock(m_mutex);
    m_mounts[path] = std::move(spec);
    m_mountConnections[path] = 0;
}

void StreamServer::addFile(const std::string& path, std::string bytes, std::string contentType) {
    std::lock_guard lock(m_mutex);
    m_files[path] = {std::move(bytes), std::move(contentType)};
}

void StreamServer::addRedirect(const std::string& path, std::string location) {
    std::lock_guard lock(m_mutex);
    m_redirects[path] = std::move(location);
}

void StreamServer::addEndlessHeader(const std::string& path) {
    std::lock_guard lock(m_mutex);
    m_endlessHeaders[path] = true;
}

void StreamServer::setAnswerDelay(const std::string& path, double seconds) {
    std::lock_guard lock(m_mutex);
    m_answerDelays[path] = seconds;
}

void StreamServer::addFolder(const std::string& urlPrefix, const std::string& localDir) {
    if (urlPrefix.empty() || urlPrefix.front() != '/' || urlPrefix.back() != '/') {
        throw std::invalid_argument("folder prefix must start and end with '/': " + urlPrefix);
    }
    std::lock_guard lock(m_mutex);
    m_folders[urlPrefix] = localDir;
}

void StreamServer::remove(const std::string& path) {
    std::lock_guard lock(m_mutex);
    m_mounts.erase(path);
    m_files.erase(path);
    m_folders.erase(path);
    m_redirects.erase(path);
    m_endlessHeaders.erase(path);
}

void StreamServer::setMode(ServerMode mode) {
    std::unique_lock lock(m_mutex);
    m_mode = mode;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_controlFd, &one, sizeof one);
    m_changed.wait_for(lock, std::chrono::seconds(5), [&] { return m_listenMode == mode; });
}

ServerMode StreamServer::mode() const {
    std::lock_guard lock(m_mutex);
    return m_mode;
}

int StreamServer::connectionCount(const std::string& path) const {
    std::lock_guard lock(m_mutex);
    return static_cast<int>(std::count_if(m_records.begin(), m_records.end(), [&](const auto& r) {
        return path.empty() || r->data.path == path;
    }));
}

std::vector<ConnectionRecord> StreamServer::connections(const std::string& path) const {
    std::lock_guard lock(m_mutex);
    std::vector<ConnectionRecord> out;
    for (const auto& r : m_records) {
        if (path.empty() || r->data.path == path) {
            out.push_back(r->data);
        }
    }
    return out;
}

std::optional<ConnectionRecord> StreamServer::lastConnection(const std::string& path) const {
    std::lock_guard lock(m_mutex);
    for (auto it = m_records.rbegin(); it != m_records.rend(); ++it) {
        if ((*it)->data.path == path) {
            return (*it)->data;
        }
    }
    return std::nullopt;
}

bool StreamServer::waitForConnections(const std::string& path, int count,
                                      std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] {
        return std::count_if(m_records.begin(), m_records.end(),
                             [&](const auto& r) { return r->data.path == path; }) >= count;
    });
}

bool StreamServer::waitForStep(const std::string& path, std::size_t step,
                               std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] {
        for (auto it = m_records.rbegin(); it != m_records.rend(); ++it) {
            if ((*it)->data.path == path) {
                const auto& timeline = (*it)->data.timeline;
                return std::any_of(timeline.begin(), timeline.end(),
                                   [&](const TimelineEntry& e) { return e.step == step; });
            }
        }
        return false;
    });
}

bool StreamServer::waitForClosed(const std::string& path, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] {
        for (auto it = m_records.rbegin(); it != m_records.rend(); ++it) {
            if ((*it)->data.path == path) {
                return (*it)->data.closedAt.has_value();
            }
        }
        return false;
    });
}

void StreamServer::acceptLoop() {
    while (true) {
        pollfd pfds[3] = {{m_stopFd, POLLIN, 0}, {m_controlFd, POLLIN, 0}, {m_listenFd, POLLIN, 0}};
        const int ready = ::poll(pfds, m_listenFd >= 0 ? 3 : 2, -1);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            io::WaitForStop(m_stopFd);
            return;
        }
        if (pfds[0].revents & POLLIN) {
            return;
        }
        if (pfds[1].revents & POLLIN) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = ::read(m_controlFd, &count, sizeof count);
            applyListenState();
            continue;
        }
        if (!(pfds[2].revents & POLLIN)) {
            continue;
        }
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            continue;
        }
        reapWorkers(false);
        std::lock_guard lock(m_mutex);
        if (m_workers.size() >= kMaxConnections) {
            ::close(fd);
            continue;
        }
        if (m_records.size() >= kMaxRecords) {
            std::erase_if(m_records, [](const auto& r) { return r->data.closedAt.has_value(); });
        }
        auto record = std::make_shared<Record>();
        record->data.id = m_nextId++;
        record->data.acceptedAt = Clock::now();
        m_records.push_back(record);
        auto worker = std::make_unique<Worker>();
        Worker* raw = worker.get();
        const ServerMode mode = m_mode;
        worker->thread = std::thread([this, record, fd, mode, raw] {
            serve(record, fd, mode);
            raw->done = true;
        });
        m_workers.push_back(std::move(worker));
        m_changed.notify_all();
    }
}

// Runs on the accept thread, the only one that touches the listening sockets.
void StreamServer::applyListenState() {
    ServerMode want;
    {
        std::lock_guard lock(m_mutex);
        want = m_mode;
    }
    if (want == ServerMode::Refuse && m_listenFd >= 0) {
        ::close(m_listenFd);
        m_listenFd = -1;
        m_holdFd = io::BindLoopback(m_port, false);
    } else if (want != ServerMode::Refuse && m_listenFd < 0) {
        if (m_holdFd >= 0) {
            ::close(m_holdFd);
            m_holdFd = -1;
        }
        m_listenFd = io::BindLoopback(m_port, true);
    }
    std::lock_guard lock(m_mutex);
    m_listenMode = want;
    m_changed.notify_all();
}

void StreamServer::reapWorkers(bool all) {
    std::list<std::unique_ptr<Worker>> finished;
    {
        std::lock_guard lock(m_mutex);
        for (auto it = m_workers.begin(); it != m_workers.end();) {
            if (all || (*it)->done) {
                finished.push_back(std::move(*it));
                it = m_workers.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& worker : finished) {
        worker->thread.join();
    }
}

void StreamServer::kick(const std::string& path) {
    std::lock_guard lock(m_mutex);
    for (const auto& record : m_records) {
        if (record->fd >= 0 && record->data.path == path) {
            // The serving thread notices at its next send and closes.
            ::shutdown(record->fd, SHUT_RDWR);
        }
    }
}

void StreamServer::serve(std::shared_ptr<Record> record, int fd, ServerMode mode) {
    {
        std::lock_guard lock(m_mutex);
        record->fd = fd;
    }
    std::string received;
    RequestHead head;
    HeadParse parsed = HeadParse::Incomplete;
    const Clock::time_point deadline = Clock::now() + kRequestTimeout;
    char buffer[4096];
    while (parsed == HeadParse::Incomplete) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || io::WaitReadable(fd, m_stopFd, left) != io::Wait::Ready) {
            break;
        }
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        received.append(buffer, static_cast<std::size_t>(n));
        parsed = ParseRequestHead(received, head);
    }
    if (parsed == HeadParse::Ok) {
        recordRequest(*record, head);
    }

    if (mode == ServerMode::Hang) {
        // Silent until the client gives up (or the server stops): a hung
        // connection the client has left would only use up the connections.
        for (;;) {
            const io::Wait w = io::WaitReadable(fd, m_stopFd, std::chrono::milliseconds(1000));
            if (w == io::Wait::Stopped || w == io::Wait::Failed) {
                break;
            }
            char discard[4096];
            if (w == io::Wait::Ready && ::recv(fd, discard, sizeof discard, 0) <= 0) {
                break;
            }
        }
    } else if (parsed == HeadParse::Bad || parsed == HeadParse::TooLarge) {
        const int status = parsed == HeadParse::Bad ? 400 : 431;
        io::SendAll(fd, m_stopFd,
                    SimpleReply(status, "text/plain", std::string(ReasonPhrase(status)) + "\n"));
        recordResponse(*record, status, false);
        CloseGracefully(fd, m_stopFd);
    } else if (parsed == HeadParse::Ok) {
        const bool headOnly = head.method == "HEAD";
        std::optional<MountSpec> mount;
        Script script;
        std::string body;
        std::string type;
        std::string location;
        bool endlessHeader = false;
        double delay = 0.0;
        int status = 404;
        {
            std::lock_guard lock(m_mutex);
            if (const auto d = m_answerDelays.find(head.path); d != m_answerDelays.end()) {
                delay = d->second;
            }
            if (head.method != "GET" && !headOnly) {
                status = 405;
            } else if (const auto r = m_redirects.find(head.path); r != m_redirects.end()) {
                status = 302;
                location = r->second;
            } else if (m_endlessHeaders.count(head.path) != 0) {
                endlessHeader = true;
            } else if (const auto m = m_mounts.find(head.path); m != m_mounts.end()) {
                mount = m->second;
                const std::size_t n = static_cast<std::size_t>(m_mountConnections[head.path]++);
                script =
                    n < mount->firstConnections.size() ? mount->firstConnections[n] : mount->script;
            } else if (const auto f = m_files.find(head.path); f != m_files.end()) {
                status = 200;
                body = f->second.first;
                type = f->second.second;
            } else {
                // The longest matching folder prefix wins.
                for (auto it = m_folders.rbegin(); it != m_folders.rend(); ++it) {
                    if (head.path.rfind(it->first, 0) == 0) {
                        const std::string rel = head.path.substr(it->first.size());
                        if (!SafeRelativePath(rel)) {
                            status = 403;
                        } else if (ReadWholeFile(it->second + "/" + rel, body)) {
                            status = 200;
                            type = ContentTypeFor(rel);
                        }
                        break;
                    }
                }
            }
        }
        if (delay > 0 && io::SleepOrStop(m_stopFd, std::chrono::duration_cast<Clock::duration>(
                                                       std::chrono::duration<double>(delay)))) {
            mount.reset();
            status = 0;
        }
        if (status == 0) {
            // stopped while waiting to answer
        } else if (endlessHeader) {
            recordResponse(*record, 200, false);
            std::string lines = "HTTP/1.0 200 OK\r\nContent-Type: audio/mpeg\r\n";
            std::string more;
            for (int i = 0; i < 64; ++i) {
                more += "X-Padding-" + std::to_string(i) + ": " + std::string(48, 'x') + "\r\n";
            }
            bool open = io::SendAll(fd, m_stopFd, lines);
            while (open) {
                open = io::SendAll(fd, m_stopFd, more);
                if (open) {
                    recordBody(*record, more.size());
                }
            }
        } else if (status == 302) {
            const std::string reply = "HTTP/1.0 302 Found\r\nLocation: " + location +
                                      "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
            if (io::SendAll(fd, m_stopFd, reply)) {
                recordResponse(*record, 302, false);
                CloseGracefully(fd, m_stopFd);
            }
        } else if (mount) {
            const bool metadata = head.header("Icy-MetaData") == "1" && mount->metaint > 0;
            StreamSession session(*this, *record, fd, m_stopFd, *mount, std::move(script), metadata,
                                  headOnly);
            session.run();
        } else {
            if (status != 200) {
                type = "text/plain";
                body = std::to_string(status) + " " + ReasonPhrase(status) + "\n";
            }
            if (io::SendAll(fd, m_stopFd, SimpleReply(status, type, body, headOnly))) {
                recordResponse(*record, status, false);
                recordBody(*record, headOnly ? 0 : body.size());
                CloseGracefully(fd, m_stopFd);
            }
        }
    }
    {
        std::lock_guard lock(m_mutex);
        record->fd = -1;
    }
    ::close(fd);
    recordClosed(*record);
}

void StreamServer::recordRequest(Record& record, const RequestHead& head) {
    std::lock_guard lock(m_mutex);
    record.data.method = head.method;
    record.data.target = head.target;
    record.data.path = head.path;
    record.data.headers = head.headers;
    m_changed.notify_all();
}

void StreamServer::recordResponse(Record& record, int status, bool metadata) {
    std::lock_guard lock(m_mutex);
    record.data.status = status;
    record.data.metadata = metadata;
    record.data.respondedAt = Clock::now();
    m_changed.notify_all();
}

void StreamServer::recordBody(Record& record, std::uint64_t bytes) {
    std::lock_guard lock(m_mutex);
    record.data.bodyBytes += bytes;
}

void StreamServer::recordStep(Record& record, TimelineEntry entry) {
    std::lock_guard lock(m_mutex);
    if (record.data.timeline.size() < kMaxTimeline) {
        record.data.timeline.push_back(std::move(entry));
    }
    m_changed.notify_all();
}

void StreamServer::recordClosed(Record& record) {
    std::lock_guard lock(m_mutex);
    record.data.closedAt = Clock::now();
    m_changed.notify_all();
}

RefusingPort::RefusingPort() {
    m_fd = io::BindLoopback(0, false);
    m_port = m_fd >= 0 ? io::BoundPort(m_fd) : 0;
    if (m_port == 0) {
        throw std::runtime_error("cannot bind a loopback port");
    }
}

RefusingPort::~RefusingPort() {
    ::close(m_fd);
}

std::string RefusingPort::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

}  // namespace qvm::test
