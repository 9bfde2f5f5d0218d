#pragma once

#include <QByteArray>
#include <boost/beast/http.hpp>

#include "http/HttpMessage.h"

namespace qvm {

// A request as Beast's parser holds it once the transport has read it.
using BeastRequest = boost::beast::http::request<boost::beast::http::string_body>;
using BeastParser = boost::beast::http::request_parser<boost::beast::http::string_body>;

// Whether the transport serves a request with this head: GET, POST or HEAD
// in any letter case, with no credentials or Basic ones. Any other ends the
// connection without an answer.
bool ServedHead(const BeastRequest& message);

// Whether the body of a request whose head the parser has read runs until
// the client closes its side (a POST with neither a length nor chunks),
// rather than being read by the parser.
bool BodyUntilClose(const BeastParser& parser);

// The request handed to the handler: the parsed head, the body read after it
// and the client's address.
HttpRequest DecodeRequest(const BeastRequest& message, const QByteArray& body,
                          const QByteArray& peerAddress);

}  // namespace qvm
