#pragma once

#include <QByteArray>
#include <QString>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>

#include "http/HttpMessage.h"

namespace qvm {

// The HTTP transport under the remote-control pages: listens on one port,
// reads one request per connection, decodes it into an HttpRequest, hands it
// with a fresh HttpResponse to the handler and writes the answer back, then
// closes the connection.
//
// Connections are served by a small pool of threads of its own; the handler
// runs on one of them, several at once. A request with another method than
// GET, POST and HEAD, a request line or header block that cannot be parsed,
// or credentials of another scheme than Basic end the connection without an
// answer. A handler that throws gives a 500 answer with the error's text.
//
// Bounded against a hostile network: the request line and headers, the body,
// the time to send a request and to take the answer, and the number of open
// connections (at the bound the connection that has been waiting longest for
// its request makes way, so idle connections cannot lock out a client that
// asks at once).
class HttpServer {
  public:
    using Handler = std::function<void(HttpRequest&, HttpResponse&)>;
    struct Limits {
        std::size_t headerBytes = 8 * 1024;
        std::size_t bodyBytes = 64 * 1024;
        std::chrono::milliseconds requestTime{10000};
        std::chrono::milliseconds answerTime{10000};
        int connections = 32;
        int threads = 2;
    };

    HttpServer(Handler handler, QByteArray serverSoftware);
    HttpServer(Handler handler, QByteArray serverSoftware, Limits limits);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Listens on `port` of `address` (empty: every interface). False, with
    // the reason in `error`, when the port cannot be taken.
    bool Activate(const QString& address, quint16 port, QString* error = nullptr);
    // Closes the listener and every open connection; returns once no handler
    // runs any more.
    void Deactivate();
    bool Active() const;
    // The port listened on (the one the system chose for port 0).
    quint16 Port() const;

  private:
    class Impl;
    const Handler m_handler;
    const QByteArray m_serverSoftware;
    const Limits m_limits;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace qvm
