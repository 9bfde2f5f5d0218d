#include "http/HttpServer.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <exception>
#include <list>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "http/BeastRequest.h"

namespace qvm {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

QByteArray ToBytes(beast::string_view s) {
    return QByteArray(s.data(), static_cast<qsizetype>(s.size()));
}

}  // namespace

class HttpServer::Impl {
  public:
    class Session;

    Impl(const HttpServer& owner) : m_owner(owner), m_acceptor(asio::make_strand(m_io)) {}

    bool listen(const QString& address, quint16 port, QString* error);
    void run();
    void stop();
    quint16 port() const { return m_port; }

    const HttpServer& m_owner;
    asio::io_context m_io;
    tcp::acceptor m_acceptor;
    std::vector<std::thread> m_threads;
    quint16 m_port = 0;

    // Open connections, oldest first, for the bound on their number.
    std::mutex m_mutex;
    std::list<std::weak_ptr<Session>> m_sessions;

  private:
    void accept();
    void admit(tcp::socket socket);
};

class HttpServer::Impl::Session : public std::enable_shared_from_this<Session> {
  public:
    Session(Impl& server, tcp::socket socket)
        : m_server(server), m_socket(std::move(socket)), m_deadline(m_socket.get_executor()) {}

    void start() {
        const Limits& limits = m_server.m_owner.m_limits;
        m_parser.emplace();
        m_parser->header_limit(static_cast<std::uint32_t>(limits.headerBytes));
        m_parser->body_limit(limits.bodyBytes);
        armDeadline(limits.requestTime);
        http::async_read_header(
            m_socket, m_buffer, *m_parser,
            [self = shared_from_this()](beast::error_code ec, std::size_t) { self->onHeader(ec); });
    }

    // Whether it still waits for its request (and may make way for another).
    bool waiting() const { return m_waiting.load(std::memory_order_relaxed); }

    // From any thread.
    void close() {
        asio::post(m_socket.get_executor(), [self = shared_from_this()] { self->shut(); });
    }

  private:
    void armDeadline(std::chrono::milliseconds time) {
        m_deadline.expires_after(time);
        m_deadline.async_wait([self = shared_from_this()](beast::error_code ec) {
            if (!ec) {
                self->shut();
            }
        });
    }

    void shut() {
        beast::error_code ignored;
        m_deadline.cancel();
        m_socket.shutdown(tcp::socket::shutdown_both, ignored);
        m_socket.close(ignored);
    }

    void onHeader(beast::error_code ec) {
        if (ec) {
            shut();  // unparsable, too large, too slow or gone: no answer
            return;
        }
        const auto& message = m_parser->get();
        if (!ServedHead(message)) {
            shut();
            return;
        }
        if (!m_parser->is_done()) {
            http::async_read(m_socket, m_buffer, *m_parser,
                             [self = shared_from_this()](beast::error_code e, std::size_t) {
                                 if (e) {
                                     self->shut();
                                     return;
                                 }
                                 self->answer(ToBytes(self->m_parser->get().body()));
                             });
            return;
        }
        if (BodyUntilClose(*m_parser)) {
            // Read up to the body's bound.
            m_rawBody = QByteArray(static_cast<const char*>(m_buffer.data().data()),
                                   static_cast<qsizetype>(m_buffer.size()));
            m_buffer.consume(m_buffer.size());
            readRawBody();
            return;
        }
        answer({});
    }

    void readRawBody() {
        const std::size_t bound = m_server.m_owner.m_limits.bodyBytes;
        if (static_cast<std::size_t>(m_rawBody.size()) >= bound) {
            m_rawBody.truncate(static_cast<qsizetype>(bound));
            answer(m_rawBody);
            return;
        }
        m_socket.async_read_some(asio::buffer(m_chunk), [self = shared_from_this()](
                                                            beast::error_code ec, std::size_t n) {
            self->m_rawBody.append(self->m_chunk.data(), static_cast<qsizetype>(n));
            if (ec == asio::error::eof) {
                self->answer(self->m_rawBody);
            } else if (ec) {
                self->shut();
            } else {
                self->readRawBody();
            }
        });
    }

    HttpRequest decode(const QByteArray& body) const {
        beast::error_code ec;
        const tcp::endpoint peer = m_socket.remote_endpoint(ec);
        return DecodeRequest(
            m_parser->get(), body,
            ec ? QByteArray() : QByteArray::fromStdString(peer.address().to_string()));
    }

    void answer(const QByteArray& body) {
        m_waiting.store(false, std::memory_order_relaxed);
        HttpRequest request = decode(body);
        HttpResponse response;
        response.Server = m_server.m_owner.m_serverSoftware;
        try {
            m_server.m_owner.m_handler(request, response);
        } catch (const std::exception& e) {
            response = HttpResponse();
            response.Server = m_server.m_owner.m_serverSoftware;
            response.Code = 500;
            response.ContentText = QByteArray(e.what());
        } catch (...) {
            response = HttpResponse();
            response.Server = m_server.m_owner.m_serverSoftware;
            response.Code = 500;
            response.ContentText = "Internal Server Error";
        }
        WireResponse wire = SerializeResponse(std::move(response));
        // A HEAD answer carries the length of the body it leaves out.
        m_out = request.Command == "HEAD" ? wire.head : wire.head + wire.body;
        armDeadline(m_server.m_owner.m_limits.answerTime);
        asio::async_write(m_socket,
                          asio::buffer(m_out.constData(), static_cast<std::size_t>(m_out.size())),
                          [self = shared_from_this()](beast::error_code, std::size_t) {
                              beast::error_code ignored;
                              self->m_socket.shutdown(tcp::socket::shutdown_send, ignored);
                              self->shut();
                          });
    }

    Impl& m_server;
    tcp::socket m_socket;
    asio::steady_timer m_deadline;
    beast::flat_buffer m_buffer;
    std::optional<http::request_parser<http::string_body>> m_parser;
    std::array<char, 4096> m_chunk{};
    QByteArray m_rawBody;
    QByteArray m_out;
    std::atomic<bool> m_waiting{true};
};

bool HttpServer::Impl::listen(const QString& address, quint16 port, QString* error) {
    beast::error_code ec;
    tcp::endpoint endpoint;
    if (address.isEmpty()) {
        endpoint = tcp::endpoint(tcp::v6(), port);
    } else {
        const auto ip = asio::ip::make_address(address.toStdString(), ec);
        if (ec) {
            if (error != nullptr) {
                *error = QStringLiteral("Invalid address %1").arg(address);
            }
            return false;
        }
        endpoint = tcp::endpoint(ip, port);
    }
    const auto open = [this, &ec](const tcp::endpoint& at) {
        ec = {};
        beast::error_code ignored;
        m_acceptor.close(ignored);
        m_acceptor.open(at.protocol(), ec);
        if (!ec && at.protocol() == tcp::v6()) {
            // Every interface: IPv4 clients too, on the same socket.
            m_acceptor.set_option(asio::ip::v6_only(false), ignored);
        }
        if (!ec) {
            m_acceptor.set_option(asio::socket_base::reuse_address(true), ec);
        }
        if (!ec) {
            m_acceptor.bind(at, ec);
        }
        if (!ec) {
            m_acceptor.listen(asio::socket_base::max_listen_connections, ec);
        }
        return !ec;
    };
    // A machine without IPv6 listens on every IPv4 interface.
    if (!open(endpoint) && !(address.isEmpty() && open(tcp::endpoint(tcp::v4(), port)))) {
        if (error != nullptr) {
            *error = QString::fromStdString(ec.message());
        }
        return false;
    }
    m_port = m_acceptor.local_endpoint().port();
    return true;
}

void HttpServer::Impl::run() {
    accept();
    const int threads = std::max(1, m_owner.m_limits.threads);
    for (int i = 0; i < threads; ++i) {
        m_threads.emplace_back([this] { m_io.run(); });
    }
}

void HttpServer::Impl::accept() {
    m_acceptor.async_accept(asio::make_strand(m_io),
                            [this](beast::error_code ec, tcp::socket socket) {
                                if (ec == asio::error::operation_aborted || !m_acceptor.is_open()) {
                                    return;
                                }
                                if (!ec) {
                                    admit(std::move(socket));
                                }
                                accept();
                            });
}

void HttpServer::Impl::admit(tcp::socket socket) {
    auto session = std::make_shared<Session>(*this, std::move(socket));
    std::shared_ptr<Session> evicted;
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_sessions.remove_if([](const std::weak_ptr<Session>& s) { return s.expired(); });
        if (static_cast<int>(m_sessions.size()) >= m_owner.m_limits.connections) {
            for (auto it = m_sessions.begin(); it != m_sessions.end(); ++it) {
                std::shared_ptr<Session> oldest = it->lock();
                if (oldest && oldest->waiting()) {
                    evicted = std::move(oldest);
                    m_sessions.erase(it);
                    break;
                }
            }
        }
        m_sessions.push_back(session);
    }
    if (evicted) {
        evicted->close();
    }
    session->start();
}

void HttpServer::Impl::stop() {
    asio::post(m_acceptor.get_executor(), [this] {
        beast::error_code ignored;
        m_acceptor.close(ignored);
    });
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& weak : m_sessions) {
            if (const auto session = weak.lock()) {
                session->close();
            }
        }
    }
    // What is still queued (a close, an answer being written) is dropped:
    // the sockets close when the context goes.
    m_io.stop();
    for (std::thread& t : m_threads) {
        t.join();
    }
    m_threads.clear();
}

HttpServer::HttpServer(Handler handler, QByteArray serverSoftware)
    : HttpServer(std::move(handler), std::move(serverSoftware), Limits{}) {}

HttpServer::HttpServer(Handler handler, QByteArray serverSoftware, Limits limits)
    : m_handler(std::move(handler)),
      m_serverSoftware(std::move(serverSoftware)),
      m_limits(limits) {}

HttpServer::~HttpServer() {
    Deactivate();
}

bool HttpServer::Activate(const QString& address, quint16 port, QString* error) {
    Deactivate();
    auto impl = std::make_unique<Impl>(*this);
    if (!impl->listen(address, port, error)) {
        return false;
    }
    impl->run();
    m_impl = std::move(impl);
    return true;
}

void HttpServer::Deactivate() {
    if (m_impl) {
        m_impl->stop();
        m_impl.reset();
    }
}

bool HttpServer::Active() const {
    return m_impl != nullptr;
}

quint16 HttpServer::Port() const {
    return m_impl ? m_impl->port() : 0;
}

}  // namespace qvm
