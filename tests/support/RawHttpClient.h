#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace qvm::test {

// One TCP connection to 127.0.0.1 that sends exactly the bytes it is given
// and reads until the server closes: for servers whose answer to odd or
// hostile requests matters, byte for byte.
class RawHttpClient {
  public:
    explicit RawHttpClient(std::uint16_t port);
    ~RawHttpClient();
    RawHttpClient(const RawHttpClient&) = delete;
    RawHttpClient& operator=(const RawHttpClient&) = delete;

    bool connected() const { return m_connected; }
    bool send(const std::string& data) const;
    // Closes the sending side (the end of a body sent without a length).
    void endSending() const;
    // Everything until the server closes (or resets); none when it has not
    // closed within `timeout`.
    std::optional<std::string> readAll(
        std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) const;

  private:
    int m_fd;
    bool m_connected = false;
};

// Sends `request` on a new connection and reads the whole answer.
std::optional<std::string> HttpExchange(
    std::uint16_t port, const std::string& request,
    std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

// The body of a raw answer (after the empty line), or empty.
std::string HttpBody(const std::string& answer);

}  // namespace qvm::test
