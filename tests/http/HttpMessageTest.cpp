// Decoding requests and encoding answers as the remote-control clients see
// them: parameters, documents, credentials, the Date header, the 401 reply.
#include "http/HttpMessage.h"

#include <gtest/gtest.h>

#include <QTimeZone>

namespace qvm {
namespace {

TEST(HttpDecode, EscapesPlusAndBrokenEscapes) {
    const struct {
        const char* in;
        QByteArray out;
    } cases[] = {
        {"a+b", "a b"},
        {"%41%62", "Ab"},
        {"x%00y", "xy"},               // an escaped zero byte is dropped
        {"100%", "100"},               // a "%" that starts no escape
        {"%zz1", "zz1"},               //
        {"%e9", QByteArray("\xe9")},   // a byte, not a character
        {"%2B+%2b", "+ +"},            //
        {"caf%C3%A9", "caf\xc3\xa9"},  // UTF-8 stays bytes
    };
    for (const auto& c : cases) {
        EXPECT_EQ(UrlDecode(c.in), c.out) << c.in;
    }
}

TEST(HttpDecode, TargetQueryParamsAndDocument) {
    HttpRequest get;
    SplitTarget(get, "/Play%20it;x=1?7&a+b=%41&flag", {});
    EXPECT_EQ(get.Document, "/Play it;x=1");
    EXPECT_EQ(get.Query, "7&a+b=%41&flag");
    EXPECT_EQ(get.UnparsedParams, get.Query);
    EXPECT_EQ(get.Params, (QList<QByteArray>{"7", "a b=A", "flag"}));

    // A form POST that also has a query: the body's last pair and the
    // query's first end up in one entry, with CR LF inside.
    HttpRequest form;
    form.ContentType = "Application/X-WWW-Form-Urlencoded";
    SplitTarget(form, "/Stop?q=1&r=2", "back=Back&x=%31");
    EXPECT_EQ(form.UnparsedParams, "back=Back&x=%31\r\nq=1&r=2");
    EXPECT_EQ(form.Params, (QList<QByteArray>{"back=Back", "x=1\r\nq=1", "r=2"}));

    // Another content type: only the query counts.
    HttpRequest other;
    other.ContentType = "text/plain";
    SplitTarget(other, "/?a=1", "b=2");
    EXPECT_EQ(other.Params, (QList<QByteArray>{"a=1"}));

    HttpRequest star;
    SplitTarget(star, "*", {});
    EXPECT_EQ(star.Document, "*");
    HttpRequest absolute;
    SplitTarget(absolute, "http://studio:8090/Stop?", {});
    EXPECT_EQ(absolute.Document, "/Stop");
}

TEST(HttpDecode, BasicCredentialsOnly) {
    const auto basic = BasicCredentials("basic " + QByteArray("studio:pa:ss").toBase64());
    ASSERT_TRUE(basic);
    EXPECT_EQ(basic->user, "studio");
    EXPECT_EQ(basic->password, "pa:ss") << "split at the first colon";
    const auto noColon = BasicCredentials("Basic " + QByteArray("alone").toBase64());
    ASSERT_TRUE(noColon);
    EXPECT_EQ(noColon->user, "alone");
    EXPECT_TRUE(noColon->password.isEmpty());
    EXPECT_FALSE(BasicCredentials("Digest username=\"a\""));
    EXPECT_FALSE(BasicCredentials("Bearer abc"));
}

TEST(HttpDecode, SecretsCompareWhole) {
    EXPECT_TRUE(SameSecret("geheim", "geheim"));
    EXPECT_FALSE(SameSecret("geheim", "Geheim"));
    EXPECT_FALSE(SameSecret("geheim", "geheim2"));
    EXPECT_FALSE(SameSecret("", "x"));
    EXPECT_TRUE(SameSecret("", ""));
}

TEST(HttpEncode, DateHeaderInLocalTimeWithItsOffset) {
    const QDateTime winter(QDate(2026, 12, 3), QTime(8, 5, 9), QTimeZone(3600));
    EXPECT_EQ(HttpDate(winter), "Thu, 3 Dec 2026 08:05:09 +0100");
    const QDateTime west(QDate(2026, 7, 14), QTime(23, 0, 0), QTimeZone(-(3 * 3600 + 1800)));
    EXPECT_EQ(HttpDate(west), "Tue, 14 Jul 2026 23:00:00 -0330");
}

TEST(HttpEncode, HeaderOrderAndTheChallenge) {
    HttpResponse page;
    page.ContentType = "text/html; charset=utf-8";
    page.ContentText = "<p>";
    page.Date = QDateTime(QDate(2026, 12, 3), QTime(8, 5, 9), QTimeZone(0));
    page.Server = "Quellmark";
    EXPECT_EQ(
        SerializeResponse(page).head,
        "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/html; charset=utf-8\r\n"
        "Content-Length: 3\r\nDate: Thu, 3 Dec 2026 08:05:09 +0000\r\nServer: Quellmark\r\n\r\n");

    HttpResponse refused = page;
    refused.AuthRealm = "QV Mirelta";
    refused.ContentText = "unauthorized";
    const WireResponse wire = SerializeResponse(refused);
    EXPECT_EQ(wire.body, "<HTML><BODY><B>401 Unauthorized</B></BODY></HTML>");
    EXPECT_TRUE(wire.head.startsWith("HTTP/1.1 401 Unauthorized\r\n"));
    EXPECT_TRUE(wire.head.endsWith(
        "Server: Quellmark\r\nWWW-Authenticate: Basic realm=\"QV Mirelta\"\r\n\r\n"));
    EXPECT_TRUE(wire.head.contains("Content-Length: 49\r\n"));

    EXPECT_EQ(ReasonText(500), "Internal Server Error");
    EXPECT_EQ(ReasonText(404), "Not Found");
    EXPECT_EQ(ReasonText(299), "Unknown Response Code");
}

}  // namespace
}  // namespace qvm
