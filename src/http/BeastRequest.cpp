#include "http/BeastRequest.h"

namespace qvm {

namespace http = boost::beast::http;

namespace {

QByteArray ToBytes(boost::beast::string_view s) {
    return QByteArray(s.data(), static_cast<qsizetype>(s.size()));
}

}  // namespace

bool ServedHead(const BeastRequest& message) {
    const QByteArray method = ToBytes(message.method_string()).toUpper();
    if (method != "GET" && method != "POST" && method != "HEAD") {
        return false;
    }
    if (const auto auth = message.find(http::field::authorization); auth != message.end()) {
        return BasicCredentials(ToBytes(auth->value())).has_value();
    }
    return true;
}

bool BodyUntilClose(const BeastParser& parser) {
    const BeastRequest& message = parser.get();
    return parser.is_done() && !parser.chunked() &&
           message.find(http::field::content_length) == message.end() &&
           ToBytes(message.method_string()).toUpper() == "POST";
}

HttpRequest DecodeRequest(const BeastRequest& message, const QByteArray& body,
                          const QByteArray& peerAddress) {
    HttpRequest request;
    request.Command = ToBytes(message.method_string()).toUpper();
    request.Version = message.version() == 10 ? QByteArray("HTTP/1.0") : QByteArray("HTTP/1.1");
    const QByteArray target = ToBytes(message.target());
    request.RequestLine = ToBytes(message.method_string()) + ' ' + target + ' ' + request.Version;
    request.PeerAddress = peerAddress;
    for (const auto& field : message) {
        request.Headers.append(ToBytes(field.name_string()) + ": " + ToBytes(field.value()));
    }
    if (const auto type = message.find(http::field::content_type); type != message.end()) {
        request.ContentType = ToBytes(type->value());
    }
    if (const auto length = message.find(http::field::content_length); length != message.end()) {
        request.ContentLength = ToBytes(length->value()).toLongLong();
    }
    if (const auto auth = message.find(http::field::authorization); auth != message.end()) {
        request.HasAuthorization = true;
        if (const auto credentials = BasicCredentials(ToBytes(auth->value()))) {
            request.UserName = credentials->user;
            request.Password = credentials->password;
        }
    }
    SplitTarget(request, target, body);
    return request;
}

}  // namespace qvm
