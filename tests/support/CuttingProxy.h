#pragma once

#include <atomic>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qvm::test {

// A TCP relay on 127.0.0.1 in front of a server, for tests of connections that
// break in the network rather than at the server: each connection it accepts
// is relayed byte for byte to the upstream port until cut() ends all of them
// at once, both ways, as a failing link ends a listener's connection while
// the server goes on. While refusing, new connections are accepted and closed
// at once (a link that is still down); while hanging, they are accepted and
// left without an answer (a link that swallows everything). The destructor
// ends everything within milliseconds.
class CuttingProxy {
  public:
    // Throws std::runtime_error when it cannot listen.
    explicit CuttingProxy(int upstreamPort);
    ~CuttingProxy();
    CuttingProxy(const CuttingProxy&) = delete;
    CuttingProxy& operator=(const CuttingProxy&) = delete;

    int port() const { return m_port; }
    // "http://127.0.0.1:<port>" + path.
    std::string url(const std::string& path) const;

    // Ends every connection relayed now.
    void cut();
    void setRefusing(bool refusing) { m_refusing.store(refusing); }
    void setHanging(bool hanging) { m_hanging.store(hanging); }
    // Connections relayed to the upstream so far (refused ones not counted).
    int relayed() const { return m_relayed.load(); }
    // Connections closed at once while refusing, or left hanging.
    int refused() const { return m_refused.load(); }

  private:
    void acceptLoop();
    void relay(int client);

    const int m_upstreamPort;
    int m_listenFd = -1;
    int m_stopFd = -1;
    int m_port = 0;
    std::atomic<bool> m_refusing{false};
    std::atomic<bool> m_hanging{false};
    std::atomic<int> m_relayed{0};
    std::atomic<int> m_refused{0};
    std::mutex m_mutex;
    std::vector<int> m_open;          // sockets of relayed connections; m_mutex
    std::list<std::thread> m_relays;  // m_mutex
    std::vector<int> m_hung;          // accepted and left hanging; acceptor thread
    std::thread m_acceptor;
};

}  // namespace qvm::test
