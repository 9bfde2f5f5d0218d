#include "http/HttpMessage.h"

#include <QTimeZone>
#include <array>
#include <utility>

#include "core/Helpers.h"

namespace qvm {

std::optional<QByteArray> HttpRequest::header(const QByteArray& name) const {
    for (const QByteArray& line : Headers) {
        const qsizetype colon = line.indexOf(':');
        if (colon >= 0 && line.left(colon).trimmed().compare(name, Qt::CaseInsensitive) == 0) {
            return line.mid(colon + 1).trimmed();
        }
    }
    return std::nullopt;
}

QByteArray UrlDecode(const QByteArray& text) {
    QByteArray out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c != '%') {
            out += c;
        } else {
            const int hi = i + 1 < text.size() ? HexDigitValue(text[i + 1]) : -1;
            const int lo = i + 2 < text.size() ? HexDigitValue(text[i + 2]) : -1;
            if (hi >= 0 && lo >= 0) {
                const int code = hi * 16 + lo;
                if (code != 0) {
                    out += static_cast<char>(code);
                }
                i += 2;
            }
            // A "%" that starts no escape is dropped alone.
        }
    }
    return out;
}

QList<QByteArray> DecodeParams(const QByteArray& text) {
    QList<QByteArray> params;
    if (text.isEmpty()) {
        return params;
    }
    for (const QByteArray& piece : text.split('&')) {
        params.append(UrlDecode(piece));
    }
    return params;
}

void SplitTarget(HttpRequest& request, const QByteArray& target, const QByteArray& body) {
    QByteArray path = target;
    const qsizetype question = target.indexOf('?');
    if (question >= 0) {
        path = target.left(question);
        request.Query = target.mid(question + 1);
    }
    // An absolute target names the host too; the document is its path.
    for (const char* scheme : {"http://", "https://"}) {
        if (path.startsWith(scheme)) {
            const qsizetype slash = path.indexOf('/', static_cast<qsizetype>(qstrlen(scheme)));
            path = slash >= 0 ? path.mid(slash) : QByteArray("/");
        }
    }
    if (!body.isEmpty() && !request.Query.isEmpty()) {
        request.UnparsedParams = body + "\r\n" + request.Query;
    } else {
        request.UnparsedParams = body.isEmpty() ? request.Query : body;
    }
    const bool form =
        request.ContentType.toLower() == QByteArrayLiteral("application/x-www-form-urlencoded");
    request.Params = DecodeParams(form ? request.UnparsedParams : request.Query);
    request.Document = target == "*" ? QByteArray("*") : UrlDecode(path);
}

std::optional<Credentials> BasicCredentials(const QByteArray& headerValue) {
    const QByteArray value = headerValue.trimmed();
    const qsizetype blank = value.indexOf(' ');
    const QByteArray scheme = blank < 0 ? value : value.left(blank);
    if (scheme.compare("Basic", Qt::CaseInsensitive) != 0) {
        return std::nullopt;
    }
    const QByteArray decoded =
        QByteArray::fromBase64(blank < 0 ? QByteArray() : value.mid(blank + 1).trimmed());
    const qsizetype colon = decoded.indexOf(':');
    if (colon < 0) {
        return Credentials{decoded, {}};
    }
    return Credentials{decoded.left(colon), decoded.mid(colon + 1)};
}

bool SameSecret(const QByteArray& a, const QByteArray& b) {
    // Every byte of the longer one is looked at, whatever matched before.
    const qsizetype n = std::max(a.size(), b.size());
    unsigned difference = a.size() == b.size() ? 0U : 1U;
    for (qsizetype i = 0; i < n; ++i) {
        const auto x = static_cast<unsigned char>(i < a.size() ? a[i] : 0);
        const auto y = static_cast<unsigned char>(i < b.size() ? b[i] : 0);
        difference |= static_cast<unsigned>(x ^ y);
    }
    return difference == 0;
}

QByteArray HttpDate(const QDateTime& local) {
    static constexpr std::array<const char*, 7> kDays = {"Mon", "Tue", "Wed", "Thu",
                                                         "Fri", "Sat", "Sun"};
    static constexpr std::array<const char*, 12> kMonths = {
        "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    const QDate d = local.date();
    const QTime t = local.time();
    const int offset = local.offsetFromUtc() / 60;
    const int magnitude = offset < 0 ? -offset : offset;
    return QStringLiteral("%1, %2 %3 %4 %5:%6:%7 %8%9%10")
        .arg(QLatin1String(kDays[static_cast<std::size_t>(d.dayOfWeek() - 1)]))
        .arg(d.day())
        .arg(QLatin1String(kMonths[static_cast<std::size_t>(d.month() - 1)]))
        .arg(d.year(), 4, 10, QLatin1Char('0'))
        .arg(t.hour(), 2, 10, QLatin1Char('0'))
        .arg(t.minute(), 2, 10, QLatin1Char('0'))
        .arg(t.second(), 2, 10, QLatin1Char('0'))
        .arg(offset < 0 ? QLatin1Char('-') : QLatin1Char('+'))
        .arg(magnitude / 60, 2, 10, QLatin1Char('0'))
        .arg(magnitude % 60, 2, 10, QLatin1Char('0'))
        .toLatin1();
}

QByteArray ReasonText(int code) {
    static constexpr std::pair<int, const char*> kReasons[] = {
        {100, "Continue"},
        {101, "Switching Protocols"},
        {200, "OK"},
        {201, "Created"},
        {202, "Accepted"},
        {203, "Non-Authoritative Information"},
        {204, "No Content"},
        {205, "Reset Content"},
        {206, "Partial Content"},
        {300, "Multiple Choices"},
        {301, "Moved Permanently"},
        {302, "Found"},
        {303, "See Other"},
        {304, "Not Modified"},
        {305, "Use Proxy"},
        {307, "Temporary Redirect"},
        {400, "Bad Request"},
        {401, "Unauthorized"},
        {402, "Payment Required"},
        {403, "Forbidden"},
        {404, "Not Found"},
        {405, "Method Not Allowed"},
        {406, "Not Acceptable"},
        {407, "Proxy Authentication Required"},
        {408, "Request Timeout"},
        {409, "Conflict"},
        {410, "Gone"},
        {411, "Length Required"},
        {412, "Precondition Failed"},
        {413, "Request Entity Too Large"},
        {414, "Request-URI Too Long"},
        {415, "Unsupported Media Type"},
        {416, "Requested Range Not Satisfiable"},
        {417, "Expectation Failed"},
        {500, "Internal Server Error"},
        {501, "Not Implemented"},
        {502, "Bad Gateway"},
        {503, "Service Unavailable"},
        {504, "Gateway Timeout"},
        {505, "HTTP Version Not Supported"},
    };
    for (const auto& [number, text] : kReasons) {
        if (number == code) {
            return text;
        }
    }
    return "Unknown Response Code";
}

WireResponse SerializeResponse(HttpResponse response) {
    QByteArray challenge;
    if (!response.AuthRealm.isEmpty()) {
        response.Code = 401;
        challenge = "Basic realm=\"" + response.AuthRealm + '"';
        response.ContentText = "<HTML><BODY><B>401 Unauthorized</B></BODY></HTML>";
    }
    if (response.ContentLength < 0) {
        response.ContentLength = response.ContentText.size();
    }
    QByteArray head =
        "HTTP/1.1 " + QByteArray::number(response.Code) + ' ' + ReasonText(response.Code) + "\r\n";
    head += "Connection: ";
    head += response.CloseConnection ? "close" : "keep-alive";
    head += "\r\nContent-Type: " + response.ContentType + "\r\n";
    head += "Content-Length: " + QByteArray::number(response.ContentLength) + "\r\n";
    if (response.Date) {
        head += "Date: " + HttpDate(*response.Date) + "\r\n";
    }
    if (!response.Server.isEmpty()) {
        head += "Server: " + response.Server + "\r\n";
    }
    if (!challenge.isEmpty()) {
        head += "WWW-Authenticate: " + challenge + "\r\n";
    }
    head += "\r\n";
    return {head, response.ContentText};
}

}  // namespace qvm
