// Arbitrary bytes as what a client sends the remote control: read with
// Beast's parser under the server's limits the way a connection reads them
// (head, then the body by its length or chunks, or to the end for a POST with
// neither), decoded by the transport's own decoding and answered by the
// command handler over snapshots with and without credentials. The same bytes
// go through the decoding and credential helpers on their own.
//
// Aborts when decoding grows a text, credentials do not survive being encoded
// again, a command gets through without the right credentials or from a page
// of another site, a channel outside the list is asked for, a stream's text
// reaches a page unescaped, a form on the player's own page counts as one
// of another site, or an answer's head is not one head.
#include <QByteArray>
#include <QStringList>
#include <QTimeZone>
#include <QUrl>
#include <algorithm>
#include <boost/asio/buffer.hpp>
#include <boost/asio/error.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/read.hpp>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "http/BeastRequest.h"
#include "http/CommandHandler.h"
#include "http/HttpMessage.h"
#include "http/HttpServer.h"

namespace {

using namespace qvm;
namespace beast = boost::beast;

void Require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "http_fuzzer: %s\n", what);
        std::abort();
    }
}

// The client's bytes as a socket gives them: in segments, then the end.
class ClientBytes {
  public:
    explicit ClientBytes(std::string_view bytes) : m_rest(bytes) {}

    template <class Buffers>
    std::size_t read_some(const Buffers& buffers, beast::error_code& ec) {
        if (m_rest.empty()) {
            ec = boost::asio::error::eof;
            return 0;
        }
        ec = {};
        const std::size_t n = boost::asio::buffer_copy(
            buffers, boost::asio::buffer(m_rest.data(), std::min(m_rest.size(), kSegment)));
        m_rest.remove_prefix(n);
        return n;
    }
    template <class Buffers>
    std::size_t read_some(const Buffers& buffers) {
        beast::error_code ec;
        const std::size_t n = read_some(buffers, ec);
        if (ec) {
            throw beast::system_error(ec);
        }
        return n;
    }
    std::string_view rest() const { return m_rest; }

  private:
    static constexpr std::size_t kSegment = 1460;
    std::string_view m_rest;
};

// The request a connection would hand to the handler, or none when it would
// close without an answer.
std::optional<HttpRequest> Read(std::string_view bytes) {
    const HttpServer::Limits limits;
    BeastParser parser;
    parser.header_limit(static_cast<std::uint32_t>(limits.headerBytes));
    parser.body_limit(limits.bodyBytes);
    beast::flat_buffer buffer;
    ClientBytes client(bytes);
    beast::error_code ec;
    beast::http::read_header(client, buffer, parser, ec);
    if (ec || !ServedHead(parser.get())) {
        return std::nullopt;
    }
    QByteArray body;
    if (!parser.is_done()) {
        beast::http::read(client, buffer, parser, ec);
        if (ec) {
            return std::nullopt;
        }
        body = QByteArray::fromStdString(parser.get().body());
    } else if (BodyUntilClose(parser)) {
        body = QByteArray(static_cast<const char*>(buffer.data().data()),
                          static_cast<qsizetype>(buffer.size())) +
               QByteArray(client.rest().data(), static_cast<qsizetype>(client.rest().size()));
        body.truncate(static_cast<qsizetype>(limits.bodyBytes));
    }
    return DecodeRequest(parser.get(), body, "192.0.2.10");
}

struct Asked {
    int stops = 0;
    int plays = 0;
    QList<int> channels;
    int total() const { return stops + plays + static_cast<int>(channels.size()); }
};

const QString kTitleMark = QStringLiteral("<x-title>");
const QString kStationMark = QStringLiteral("<x-station>");

std::shared_ptr<const PlayerSnapshot> Snapshot(bool playing, bool protect, const QString& text) {
    auto s = std::make_shared<PlayerSnapshot>();
    s->playing = playing;
    s->onAirIndex = playing ? 0 : -1;
    s->localTime = QDateTime(QDate(2026, 12, 3), QTime(8, 5, 9), QTimeZone(3600));
    s->refresh = 10;
    if (protect) {
        s->user = QStringLiteral("studio");
        s->password = QStringLiteral("geheim");
    }
    for (int i = 0; i < 3; ++i) {
        ChannelSnapshot ch;
        ch.status = i < 2 && playing ? ChannelStatus::Play : ChannelStatus::Stop;
        ch.url = QStringLiteral("http://user:pw@stream%1.example:8000/live.mp3").arg(i);
        ch.stationName = kStationMark + text;
        ch.bitrateText = QStringLiteral("128");
        ch.title = kTitleMark + text;
        s->channels.push_back(ch);
    }
    return s;
}

void Answer(HttpRequest request, bool playing, bool protect) {
    SnapshotBox box;
    const QString streamText = QString::fromUtf8(request.Document.left(64));
    box.publish(Snapshot(playing, protect, streamText));
    Asked asked;
    const CommandHandler handler(
        box,
        {[&asked] { ++asked.stops; }, [&asked] { ++asked.plays; },
         [&asked](int i) { asked.channels.append(i); }},
        [](const QString&, const QString& def) { return def; }, QStringLiteral("1.0.0.0"));
    HttpResponse response;
    const bool foreign = ForeignOrigin(request);
    const bool authorised =
        !protect || (request.UserName == "studio" && request.Password == "geheim");
    handler.IdHTTPServerCommandGet(request, response);

    Require(asked.total() <= 1, "one request asked more than one thing");
    if (!authorised) {
        Require(!response.AuthRealm.isEmpty() && asked.total() == 0,
                "a command without credentials");
    }
    if (foreign) {
        Require(asked.total() == 0, "a command from another site");
    }
    for (const int i : asked.channels) {
        Require(i >= 0 && i < 3, "a channel outside the list");
    }
    const QString page = QString::fromUtf8(response.ContentText);
    Require(!page.isEmpty(), "an empty page");
    Require(!page.contains(kTitleMark) && !page.contains(kStationMark), "stream text unescaped");

    const WireResponse wire = SerializeResponse(response);
    Require(wire.head.endsWith("\r\n\r\n") && wire.head.indexOf("\r\n\r\n") == wire.head.size() - 4,
            "the answer's head is not one head");
}

// A host and port as a browser writes them in Host: a lower-case name or an
// IPv6 address in brackets, then perhaps a port.
bool BrowserHost(const QByteArray& host) {
    qsizetype end = 0;
    if (host.startsWith('[')) {
        end = host.indexOf(']');
        if (end < 2) {
            return false;
        }
        for (qsizetype i = 1; i < end; ++i) {
            const char c = host[i];
            if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == ':' || c == '.')) {
                return false;
            }
        }
        ++end;
    } else {
        while (end < host.size() &&
               ((host[end] >= 'a' && host[end] <= 'z') || (host[end] >= '0' && host[end] <= '9') ||
                host[end] == '-' || host[end] == '.')) {
            ++end;
        }
        if (end == 0) {
            return false;
        }
    }
    if (end < host.size()) {
        const QByteArray port = host.mid(end + 1);
        bool ok = false;
        if (host[end] != ':' || port.size() > 5 || port.startsWith('0') ||
            port.toInt(&ok) > 65535 || !ok) {
            return false;
        }
    }
    return QUrl(QStringLiteral("http://") + QString::fromLatin1(host)).isValid();
}

// A form on the player's own page names in Origin and Referer what the
// browser put in Host.
void CheckOwnPage(const HttpRequest& request) {
    const std::optional<QByteArray> host = request.header("Host");
    if (!host || !BrowserHost(*host)) {
        return;
    }
    HttpRequest own = request;
    own.Headers = {"Host: " + *host, "Origin: http://" + *host, "Referer: http://" + *host + "/"};
    Require(!ForeignOrigin(own), "the page's own origin counts as another site");
}

void CheckHelpers(const QByteArray& bytes) {
    Require(UrlDecode(bytes).size() <= bytes.size(), "decoding grew a text");
    qsizetype total = 0;
    const QList<QByteArray> params = DecodeParams(bytes);
    for (const QByteArray& p : params) {
        total += p.size();
    }
    Require(total <= bytes.size(), "decoded parameters grew");
    Require(params.size() == (bytes.isEmpty() ? 0 : bytes.count('&') + 1), "parameters lost");

    for (const QByteArray& value : {bytes, "Basic " + bytes, "basic " + bytes.toBase64()}) {
        const std::optional<Credentials> c = BasicCredentials(value);
        if (!c) {
            continue;
        }
        Require(!c->user.contains(':'), "a user name with a colon");
        const std::optional<Credentials> again =
            BasicCredentials("Basic " + (c->user + ':' + c->password).toBase64());
        Require(again && again->user == c->user && again->password == c->password,
                "credentials do not survive encoding");
    }
    const qsizetype half = bytes.size() / 2;
    const QByteArray a = bytes.left(half);
    const QByteArray b = bytes.mid(half);
    Require(SameSecret(a, b) == (a == b), "SameSecret disagrees with equality");
    Require(SameSecret(bytes, bytes), "a secret differs from itself");
    QueryNumber(bytes);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    CheckHelpers(QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())));

    const std::optional<HttpRequest> request = Read(bytes);
    if (!request) {
        return 0;
    }
    Require(request->Command == "GET" || request->Command == "POST" || request->Command == "HEAD",
            "a method the server does not serve");
    const qsizetype target = request->RequestLine.size();
    Require(request->Document.size() <= target, "the document grew");
    for (const QByteArray& p : request->Params) {
        Require(p.size() <= request->UnparsedParams.size(), "a parameter grew");
    }
    Require(request->HasAuthorization == request->header("Authorization").has_value(),
            "credentials without their header");
    CheckOwnPage(*request);
    for (const bool playing : {true, false}) {
        for (const bool protect : {false, true}) {
            Answer(*request, playing, protect);
        }
    }
    return 0;
}
