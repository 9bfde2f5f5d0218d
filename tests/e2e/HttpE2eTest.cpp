// The real player's remote control: its status page and commands over real
// sockets, on real streams, heard in its captured mix.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <memory>
#include <vector>

#include "e2e/E2eSupport.h"
#include "e2e/PlayerProcess.h"
#include "support/RawHttpClient.h"
#include "support/SocketIo.h"
#include "support/StreamServer.h"
#include "support/TempDir.h"

namespace qvm::test {
namespace {

using namespace std::chrono_literals;

class HttpE2e : public ::testing::Test {
  protected:
    void SetUp() override { QVM_E2E_SKIP_UNDER_TSAN(); }
    void TearDown() override {
        if (player.running()) {
            EXPECT_TRUE(player.terminate(10s));
        }
    }
    // GET or POST with the station's credentials (and more header lines).
    std::optional<std::string> tryAsk(const std::string& method, const std::string& target,
                                      const std::string& headers = {}) const {
        const std::string auth = QByteArray("studio:geheim").toBase64().toStdString();
        return HttpExchange(static_cast<std::uint16_t>(port),
                            method + " " + target +
                                " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                "\r\nAuthorization: Basic " + auth + "\r\n" + headers +
                                (method == "POST" ? "Content-Length: 0\r\n" : "") + "\r\n");
    }
    std::string ask(const std::string& method, const std::string& target,
                    const std::string& headers = {}) const {
        const auto answer = tryAsk(method, target, headers);
        EXPECT_TRUE(answer) << target;
        return answer.value_or(std::string());
    }
    // Until the status page shows `piece` (the player may still be starting).
    bool pageShows(const std::string& piece) const {
        return WaitUntil(
            [&] {
                return tryAsk("GET", "/").value_or(std::string()).find(piece) != std::string::npos;
            },
            20s);
    }

    TempDir dir;
    PlayerProcess player{dir.path()};
    int port = io::FreeLoopbackPort();
};

TEST_F(HttpE2e, StatusPageAndCommandsDriveThePlayer) {
    StreamServer server;
    MountSpec programme =
        Mount({Title{"Morning <script>alert(1)</script> & more"}, Tone{440.0, kForever, 0.5}});
    server.addMount("/programme.mp3", programme);
    server.addMount("/backup.mp3", Mount({Title{"Backup"}, Tone{660.0, kForever, 0.5}}));
    server.addMount("/spare.mp3", Mount({Tone{880.0, kForever, 0.5}}));
    PlayerConfig config;
    config.urls = {QString::fromStdString(server.url("/programme.mp3")),
                   QString::fromStdString(server.url("/backup.mp3")),
                   QString::fromStdString(server.url("/spare.mp3"))};
    config.always = {true, true, false};
    config.chFadeIn = 0.2;
    config.httpPort = port;
    config.httpUser = QStringLiteral("studio");
    config.httpPass = QStringLiteral("geheim");
    player.writeIni(PlayerIni(config));
    ASSERT_TRUE(player.start()) << player.output().toStdString();

    ASSERT_TRUE(pageShows("<td>&nbspMorning &lt;script&gt;alert(1)&lt;/script&gt; &amp; more</td>"))
        << ask("GET", "/");
    const std::string page = ask("GET", "/");
    EXPECT_EQ(page.find("<script>"), std::string::npos) << "a title cannot run in the browser";
    EXPECT_NE(page.find("<td>1</td></tr>"), std::string::npos) << "channel 1 on air";
    EXPECT_NE(page.find("name=\"Play1\" value=\"Switch\""), std::string::npos);
    EXPECT_NE(page.find("name=\"Play2\" value=\"Play\""), std::string::npos)
        << "the spare is stopped";

    // Without credentials: the challenge, and nothing happens.
    const auto refused = HttpExchange(static_cast<std::uint16_t>(port),
                                      "POST /Stop HTTP/1.1\r\nContent-Length: 0\r\n\r\n");
    ASSERT_TRUE(refused);
    EXPECT_TRUE(refused->starts_with("HTTP/1.1 401 Unauthorized\r\n")) << *refused;
    EXPECT_NE(refused->find("WWW-Authenticate: Basic realm=\"QV Mirelta\"\r\n"), std::string::npos);

    ASSERT_TRUE(WaitForChange(player, 0.0, 440.0, 0.0, 10s)) << "the programme is heard";
    // A page of another site cannot switch; the station's own page can.
    EXPECT_NE(ask("POST", "/Play?1", "Origin: http://evil.example\r\n").find("Invalid parameter"),
              std::string::npos);
    EXPECT_NE(ask("POST", "/Play?1", "Referer: http://127.0.0.1:" + std::to_string(port) + "/\r\n")
                  .find("Switch to stream # 2"),
              std::string::npos);
    const auto switched = WaitForChange(player, 440.0, 660.0, 0.0, 10s);
    ASSERT_TRUE(switched) << "the backup took the air";
    EXPECT_TRUE(pageShows("<td>2 (Manual 2)</td></tr>"));

    EXPECT_NE(ask("POST", "/Stop").find("Stopped"), std::string::npos);
    EXPECT_TRUE(WaitForChange(player, 660.0, 0.0, *switched, 10s)) << "the relay went quiet";
    EXPECT_TRUE(pageShows("action=\"/Play\"><button type=\"submit\" style=\"width: 50%\">Play"));
    EXPECT_NE(ask("GET", "/stop").find("Invalid parameter"), std::string::npos)
        << "stop while stopped";
    EXPECT_NE(ask("GET", "/Play?7").find("Inaccessible"), std::string::npos);
}

// Clients that send too much, too slowly, with other credentials or nothing
// at all are dropped without an answer, and the page is served meanwhile.
TEST_F(HttpE2e, HostileClientsDoNotKeepThePageFromTheNextClient) {
    PlayerConfig config;
    config.urls = {QStringLiteral("http://127.0.0.1:9/none.mp3")};
    config.httpPort = port;
    config.httpUser = QStringLiteral("studio");
    config.httpPass = QStringLiteral("geheim");
    player.writeIni(PlayerIni(config));
    ASSERT_TRUE(player.start()) << player.output().toStdString();
    ASSERT_TRUE(pageShows("System time"));

    const auto p = static_cast<std::uint16_t>(port);
    const RawHttpClient slow(p);
    ASSERT_TRUE(slow.send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n"));
    std::vector<std::unique_ptr<RawHttpClient>> idle;
    for (int i = 0; i < 100; ++i) {
        idle.push_back(std::make_unique<RawHttpClient>(p));
    }
    EXPECT_EQ(HttpExchange(p, "GET / HTTP/1.1\r\nX-Big: " + std::string(9000, 'a') + "\r\n\r\n"),
              std::string());
    EXPECT_EQ(
        HttpExchange(p, "GET / HTTP/1.1\r\nAuthorization: Digest username=\"studio\"\r\n\r\n"),
        std::string());
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_NE(ask("GET", "/").find("System time"), std::string::npos);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 2s);
    EXPECT_TRUE(slow.readAll(15s)) << "the slow client is dropped";
    EXPECT_TRUE(player.running());
}

}  // namespace
}  // namespace qvm::test
