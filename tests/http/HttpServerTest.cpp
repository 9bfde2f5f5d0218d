// The transport on real loopback sockets, driven by raw clients: what it
// answers, what it drops without a word, and how it holds up against clients
// that send too much, too slowly or nothing at all.
#include "http/HttpServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/RawHttpClient.h"

namespace qvm {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

using Client = test::RawHttpClient;

class HttpServerTest : public ::testing::Test {
  protected:
    void start(HttpServer::Limits limits = {}) {
        server = std::make_unique<HttpServer>(
            [this](HttpRequest& request, HttpResponse& response) {
                {
                    const std::lock_guard<std::mutex> lock(mutex);
                    seen.push_back(request);
                }
                if (request.Document == "/fail") {
                    throw std::runtime_error("the page broke");
                }
                response.ContentType = "text/plain";
                response.ContentText = "doc=" + request.Document +
                                       " params=" + request.Params.join('|') +
                                       " user=" + request.UserName;
            },
            "Quellmark", limits);
        QString error;
        ASSERT_TRUE(server->Activate(QStringLiteral("127.0.0.1"), 0, &error))
            << error.toStdString();
        port = server->Port();
    }
    std::optional<std::string> ask(const std::string& request) const {
        return test::HttpExchange(port, request);
    }
    HttpRequest last() {
        const std::lock_guard<std::mutex> lock(mutex);
        return seen.empty() ? HttpRequest() : seen.back();
    }

    std::mutex mutex;
    std::vector<HttpRequest> seen;
    std::unique_ptr<HttpServer> server;
    quint16 port = 0;
};

TEST_F(HttpServerTest, AnswersEachMethodAndClosesTheConnection) {
    start();
    const auto get = ask("GET /Play%20it?1&a+b HTTP/1.1\r\nHost: x\r\nX-Odd:  spaced \r\n\r\n");
    ASSERT_TRUE(get);
    EXPECT_EQ(get->substr(0, 17), "HTTP/1.1 200 OK\r\n");
    EXPECT_NE(
        get->find("\r\nConnection: close\r\nContent-Type: text/plain\r\nContent-Length: 31\r\n"),
        std::string::npos)
        << *get;
    EXPECT_NE(get->find("Server: Quellmark\r\n\r\ndoc=/Play it params=1|a b user="),
              std::string::npos);
    HttpRequest r = last();
    EXPECT_EQ(r.Command, "GET");
    EXPECT_EQ(r.Version, "HTTP/1.1");
    EXPECT_EQ(r.RequestLine, "GET /Play%20it?1&a+b HTTP/1.1");
    EXPECT_EQ(r.PeerAddress, "127.0.0.1");
    EXPECT_EQ(r.header("x-odd"), QByteArray("spaced"));

    // HEAD: the same header, no body.
    const auto head = ask("head / HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(head);
    EXPECT_NE(head->find("Content-Length: 19\r\n"), std::string::npos) << *head;
    EXPECT_EQ(head->substr(head->size() - 4), "\r\n\r\n") << "no body after the header";

    // A form POST with a length, and one without that runs until the client
    // closes its side.
    const auto post =
        ask("POST /Stop?q=1 HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
            "Content-Length: 9\r\nAuthorization: Basic " +
            QByteArray("studio:pw").toBase64().toStdString() + "\r\n\r\nback=Back");
    ASSERT_TRUE(post);
    EXPECT_NE(post->find("params=back=Back\r\nq=1 user=studio"), std::string::npos) << *post;
    EXPECT_EQ(last().Password, "pw");
    {
        const Client client(port);
        client.send(
            "POST / HTTP/1.0\r\nContent-Type: application/x-www-form-urlencoded\r\n\r\na=1&b");
        std::this_thread::sleep_for(100ms);
        client.send("=2");
        client.endSending();
        const auto answer = client.readAll();
        ASSERT_TRUE(answer);
        EXPECT_NE(answer->find("params=a=1|b=2"), std::string::npos) << *answer;
    }

    const auto failed = ask("GET /fail HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->substr(0, 36), "HTTP/1.1 500 Internal Server Error\r\n");
    EXPECT_TRUE(failed->ends_with("\r\n\r\nthe page broke")) << *failed;
}

TEST_F(HttpServerTest, DropsWithoutAWordWhatItDoesNotServe) {
    start();
    const std::string bigHeader = "GET / HTTP/1.1\r\nX-Big: " + std::string(9000, 'a') + "\r\n\r\n";
    const struct {
        const char* what;
        std::string request;
    } cases[] = {
        {"Digest credentials", "GET / HTTP/1.1\r\nAuthorization: Digest username=\"a\"\r\n\r\n"},
        {"another method", "DELETE / HTTP/1.1\r\n\r\n"},
        {"no request line", "hello\r\n\r\n"},
        {"headers over 8 KiB", bigHeader},
        {"a body over 64 KiB",
         "POST / HTTP/1.1\r\nContent-Length: 100000\r\n\r\n" + std::string(100000, 'b')},
    };
    const std::size_t before = seen.size();
    for (const auto& c : cases) {
        const auto answer = ask(c.request);
        ASSERT_TRUE(answer) << c.what << ": the connection stays open";
        EXPECT_EQ(*answer, "") << c.what;
    }
    EXPECT_EQ(seen.size(), before) << "the handler saw none of them";
    EXPECT_TRUE(ask("GET / HTTP/1.1\r\n\r\n")->starts_with("HTTP/1.1 200"));
}

// A client that trickles its request is dropped after the time a request may
// take, and costs the others nothing meanwhile.
TEST_F(HttpServerTest, SlowClientIsDroppedAndOthersAreServedMeanwhile) {
    HttpServer::Limits limits;
    limits.requestTime = 1500ms;
    start(limits);
    const Client slow(port);
    const auto began = Clock::now();
    std::thread trickle([&slow] {
        for (char c : std::string("GET / HTTP/1.1\r\nHost: x\r\nX-Slow: 1\r\n")) {
            if (!slow.send(std::string(1, c))) {
                return;
            }
            std::this_thread::sleep_for(100ms);
        }
    });
    for (int i = 0; i < 3; ++i) {
        const auto asked = Clock::now();
        EXPECT_TRUE(ask("GET / HTTP/1.1\r\n\r\n")->starts_with("HTTP/1.1 200"));
        EXPECT_LT(Clock::now() - asked, 1000ms);
    }
    const auto dropped = slow.readAll(5000ms);
    const auto took = Clock::now() - began;
    trickle.join();
    ASSERT_TRUE(dropped) << "the slow client was not dropped";
    EXPECT_EQ(*dropped, "");
    EXPECT_GE(took, 1400ms);
    EXPECT_LT(took, 4000ms) << "dropped at the bound, not when it stopped sending";
}

// A crowd that connects and says nothing: at the bound on connections the one
// waiting longest makes way, so the next client that asks is served at once.
TEST_F(HttpServerTest, IdleCrowdDoesNotLockOutTheNextClient) {
    HttpServer::Limits limits;
    limits.connections = 8;
    start(limits);
    std::vector<std::unique_ptr<Client>> idle;
    for (int i = 0; i < 100; ++i) {
        idle.push_back(std::make_unique<Client>(port));
    }
    const auto asked = Clock::now();
    const auto answer = ask("GET / HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(answer);
    EXPECT_TRUE(answer->starts_with("HTTP/1.1 200")) << *answer;
    EXPECT_LT(Clock::now() - asked, 1000ms);
    const auto first = idle.front()->readAll(1000ms);
    ASSERT_TRUE(first) << "the longest-waiting idle connection made way";
    EXPECT_EQ(*first, "");
}

TEST_F(HttpServerTest, DeactivateClosesEveryConnectionAtOnce) {
    start();
    const Client waiting(port);
    ASSERT_TRUE(waiting.send("GET / HTTP/1.1\r\n"));
    std::this_thread::sleep_for(100ms);
    const auto before = Clock::now();
    server->Deactivate();
    EXPECT_LT(Clock::now() - before, 1000ms);
    EXPECT_TRUE(waiting.readAll(1000ms)) << "the open connection was closed";
    EXPECT_FALSE(server->Active());
    EXPECT_FALSE(Client(port).connected()) << "nothing listens any more";
}

TEST_F(HttpServerTest, APortInUseIsReported) {
    start();
    HttpServer second([](HttpRequest&, HttpResponse&) {}, "Quellmark");
    QString error;
    EXPECT_FALSE(second.Activate(QStringLiteral("127.0.0.1"), port, &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(second.Activate(QStringLiteral("not an address"), 0, &error));
    EXPECT_TRUE(error.contains(QLatin1String("not an address")));
}

}  // namespace
}  // namespace qvm
