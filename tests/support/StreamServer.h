#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/HttpBits.h"
#include "support/StreamScript.h"

namespace qvm::test {

// What the server knows about one connection (one request: every reply
// closes the connection). A copy, taken under the server's lock.
struct ConnectionRecord {
    int id = 0;          // order of acceptance on this server, from 0
    std::string method;  // empty when no request head arrived
    std::string target;  // as requested, with the query
    std::string path;    // without the query
    HeaderList headers;  // request headers as received (User-Agent, Icy-MetaData, ...)
    std::string header(std::string_view name) const { return FindHeader(headers, name); }
    int status = 0;  // HTTP status sent; 0 while none (stalling, hanging)
    std::chrono::steady_clock::time_point acceptedAt{};
    std::chrono::steady_clock::time_point respondedAt{};  // head sent; unset while none
    std::optional<std::chrono::steady_clock::time_point> closedAt;
    std::uint64_t bodyBytes = 0;          // body bytes sent, ICY metadata included
    std::vector<TimelineEntry> timeline;  // mounts only
    bool metadata = false;                // ICY metadata blocks are inserted on this connection
};

// How the server treats new connections.
enum class ServerMode {
    Serve,   // normal
    Refuse,  // nothing listens on the port: connections are refused; open ones go on
    Hang,    // accept, read the request, send nothing; the socket stays open until the client
             // closes it or the server stops
};

// An HTTP/ICY server on 127.0.0.1 for tests and the test streamer: scripted MP3
// mounts encoded on the fly, fixed files and folders. One thread accepts, one
// thread serves each connection; the destructor closes every socket and joins
// every thread within milliseconds, also while clients are connected or a
// stall is under way. All members are thread-safe.
class StreamServer {
  public:
    // Listens on 127.0.0.1:`port` (0 = any free port). Throws std::runtime_error
    // when it cannot listen.
    explicit StreamServer(int port = 0);
    ~StreamServer();
    StreamServer(const StreamServer&) = delete;
    StreamServer& operator=(const StreamServer&) = delete;

    int port() const { return m_port; }
    // "http://127.0.0.1:<port>" + path (path starts with '/').
    std::string url(const std::string& path) const;

    // Adds or replaces a mount; connections already open keep what they play.
    // Throws std::invalid_argument when the path does not start with '/', the
    // script is empty or libmp3lame refuses the format.
    void addMount(const std::string& path, MountSpec spec);
    // Serves fixed bytes (playlists and anything else).
    void addFile(const std::string& path, std::string bytes, std::string contentType);
    // Serves the files under `localDir` below the URL prefix (which starts and
    // ends with '/'), read at request time, with content types by extension
    // (.m3u8, .ts, .aac, .mp3, .m4s, .mp4, .pls, .m3u, .xspf, .html, ...).
    // Paths with ".." segments are refused.
    void addFolder(const std::string& urlPrefix, const std::string& localDir);
    // Answers `path` with a redirect (302 Found) to `location`.
    void addRedirect(const std::string& path, std::string location);
    // Answers `path` with "200 OK" and then header lines without end, as fast
    // as the socket takes them.
    void addEndlessHeader(const std::string& path);
    // Waits `seconds` after a request for `path` before answering it (files,
    // redirects, mounts).
    void setAnswerDelay(const std::string& path, double seconds);
    // Removes a mount, file, redirect or folder prefix; new requests for it get 404.
    void remove(const std::string& path);
    // Drops every open connection to `path` at once, as a broken link does.
    void kick(const std::string& path);

    // Takes effect for connections that arrive after the call returns.
    void setMode(ServerMode mode);
    ServerMode mode() const;

    // Connections to `path` (without query), or to every path when empty.
    int connectionCount(const std::string& path = {}) const;
    std::vector<ConnectionRecord> connections(const std::string& path = {}) const;
    // The latest connection to `path`, if any.
    std::optional<ConnectionRecord> lastConnection(const std::string& path) const;
    // Waits (blocking the calling thread, no event loop) until `path` has had
    // at least `count` connections; false on time-out.
    bool waitForConnections(const std::string& path, int count,
                            std::chrono::milliseconds timeout) const;
    // Waits until the latest connection to `path` has a timeline entry for
    // `step` (of any loop); false on time-out.
    bool waitForStep(const std::string& path, std::size_t step,
                     std::chrono::milliseconds timeout) const;
    // Waits until the latest connection to `path` is closed (the script ended,
    // the client hung up, ...); false on time-out.
    bool waitForClosed(const std::string& path, std::chrono::milliseconds timeout) const;

  private:
    friend class StreamSession;
    struct Record;
    struct Worker;

    void acceptLoop();
    void applyListenState();
    void serve(std::shared_ptr<Record> record, int fd, ServerMode mode);
    void reapWorkers(bool all);

    // Called by connection threads.
    void recordRequest(Record& record, const RequestHead& head);
    void recordResponse(Record& record, int status, bool metadata);
    void recordBody(Record& record, std::uint64_t bytes);
    void recordStep(Record& record, TimelineEntry entry);
    void recordClosed(Record& record);

    int m_port = 0;
    int m_listenFd = -1;   // listening socket in Serve and Hang modes
    int m_holdFd = -1;     // bound, not listening, in Refuse mode: keeps the port refused
    int m_stopFd = -1;     // eventfd, readable once the server stops; every wait polls it
    int m_controlFd = -1;  // eventfd: the accept thread re-reads the mode

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    ServerMode m_mode = ServerMode::Serve;
    ServerMode m_listenMode = ServerMode::Serve;  // the mode the accept thread has applied
    std::map<std::string, MountSpec> m_mounts;
    std::map<std::string, int> m_mountConnections;  // per mount path, for firstConnections
    std::map<std::string, std::pair<std::string, std::string>> m_files;  // bytes, type
    std::map<std::string, std::string> m_folders;                        // prefix -> dir
    std::map<std::string, std::string> m_redirects;                      // path -> location
    std::map<std::string, double> m_answerDelays;                        // path -> seconds
    std::map<std::string, bool> m_endlessHeaders;
    std::vector<std::shared_ptr<Record>> m_records;
    int m_nextId = 0;
    std::list<std::unique_ptr<Worker>> m_workers;
    std::thread m_acceptThread;
};

// A port on 127.0.0.1 where nothing listens (a socket is bound to it but never
// listens), so connections are refused for as long as the object lives.
class RefusingPort {
  public:
    RefusingPort();
    ~RefusingPort();
    RefusingPort(const RefusingPort&) = delete;
    RefusingPort& operator=(const RefusingPort&) = delete;
    int port() const { return m_port; }
    std::string url(const std::string& path) const;

  private:
    int m_fd = -1;
    int m_port = 0;
};

}  // namespace qvm::test
