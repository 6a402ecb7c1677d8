// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vistrel::test {

struct HttpResponse {
    int status = 0;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;

    // The first header of that name, any letter case; empty when absent.
    std::string Header(const std::string& name) const;
    bool HasHeader(const std::string& name) const;
};

// One plain TCP connection to the server under test, from a chosen loopback
// address, speaking HTTP/1.1 by hand so a test can also send what no polite
// client would (half a header, a NUL byte, a body far too long).
class HttpConnection {
public:
    // Connected, or nullptr when the connection was refused.
    static std::unique_ptr<HttpConnection> Open(uint16_t port, const char* to = "127.0.0.1", const char* from = nullptr,
                                                int receiveBufferBytes = 0);
    ~HttpConnection();

    bool Send(const std::string& bytes);
    // One whole response (Content-Length or chunked body); none when the
    // server closed the connection or the deadline passed.
    std::optional<HttpResponse> Read(std::chrono::milliseconds deadline = std::chrono::seconds(10));
    // Whatever arrives until `bytes` bytes are in (or the deadline passes).
    std::string ReadAtLeast(size_t bytes, std::chrono::milliseconds deadline = std::chrono::seconds(10));
    // Waits until the server closes the connection; false at the deadline.
    bool WaitClosed(std::chrono::milliseconds deadline);

private:
    explicit HttpConnection(int fd);
    bool Fill(std::chrono::steady_clock::time_point deadline);

    int fd_;
    std::string buffer_;
    bool closed_ = false;
};

// One request on a new connection from 127.0.0.1 (or `from`).
HttpResponse Request(uint16_t port, const std::string& method, const std::string& target,
                     const std::vector<std::pair<std::string, std::string>>& headers = {},
                     const std::string& body = {}, const char* from = nullptr);

} // namespace vistrel::test
