#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <optional>

namespace qvm {

// One request as the transport decoded it. Bytes as the client sent them
// (after URL decoding where said); the handler decides how to read them.
struct HttpRequest {
    QByteArray Command;         // the method, upper-cased
    QByteArray Version;         // after the request line's last blank
    QByteArray RequestLine;     // method, target and version
    QByteArray PeerAddress;     // the client's IP address
    QList<QByteArray> Headers;  // "Name: value", in order
    QByteArray UnparsedParams;  // body, CR LF, query (either alone when the other is empty)
    QByteArray Query;           // after the first "?" of the target
    QList<QByteArray> Params;   // decoded "name=value" pieces
    QByteArray Document;        // the decoded path, or "*"
    bool HasAuthorization = false;
    QByteArray UserName;
    QByteArray Password;
    QByteArray ContentType;
    qint64 ContentLength = -1;

    // The first header of that name (compared without regard to case), or
    // none.
    std::optional<QByteArray> header(const QByteArray& name) const;
};

struct HttpResponse {
    int Code = 200;
    QByteArray ContentType = "text/html";
    QByteArray ContentText;
    qint64 ContentLength = -1;
    bool CloseConnection = true;
    QByteArray AuthRealm;
    std::optional<QDateTime> Date;
    QByteArray Server;
};

// The decoding of parameters and documents: "+" is a blank, "%" and two
// hexadecimal digits the byte of that code; an escaped zero byte and a "%"
// without two hexadecimal digits after it give nothing.
QByteArray UrlDecode(const QByteArray& text);
// `text` split at every "&", each piece decoded whole.
QList<QByteArray> DecodeParams(const QByteArray& text);

// Fills Query, UnparsedParams, Params and Document from the request target
// and the body (already in `request`, or empty).
void SplitTarget(HttpRequest& request, const QByteArray& target, const QByteArray& body);

// The Basic credentials of an Authorization header value: user and password;
// none when its scheme is another.
struct Credentials {
    QByteArray user;
    QByteArray password;
};
std::optional<Credentials> BasicCredentials(const QByteArray& headerValue);

// Whether two secrets are equal, in a time that does not depend on where they
// differ.
bool SameSecret(const QByteArray& a, const QByteArray& b);

// "Thu, 3 Dec 2026 08:05:09 +0100": the Date header of a local time.
QByteArray HttpDate(const QDateTime& local);
// The reason phrase of a status code ("Unknown Response Code" outside the
// table).
QByteArray ReasonText(int code);

// The status line and header of `response` for its final body (the 401
// challenge and the Content-Length applied), and that body.
struct WireResponse {
    QByteArray head;
    QByteArray body;
};
WireResponse SerializeResponse(HttpResponse response);

}  // namespace qvm
