// SPDX-License-Identifier: GPL-3.0-or-later
#include "http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <strings.h>

namespace vistrel::test {

std::string HttpResponse::Header(const std::string& name) const
{
    for (const auto& [key, value] : headers) {
        if (strcasecmp(key.c_str(), name.c_str()) == 0)
            return value;
    }
    return {};
}

bool HttpResponse::HasHeader(const std::string& name) const
{
    for (const auto& [key, value] : headers) {
        if (strcasecmp(key.c_str(), name.c_str()) == 0)
            return true;
    }
    return false;
}

std::unique_ptr<HttpConnection> HttpConnection::Open(uint16_t port, const char* to, const char* from,
                                                     int receiveBufferBytes)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    std::unique_ptr<HttpConnection> connection(new HttpConnection(fd));
    if (receiveBufferBytes > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBufferBytes, sizeof receiveBufferBytes);
    if (from) {
        sockaddr_in source{};
        source.sin_family = AF_INET;
        inet_pton(AF_INET, from, &source.sin_addr);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0)
            return nullptr;
    }
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(port);
    inet_pton(AF_INET, to, &target.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target) != 0)
        return nullptr;
    return connection;
}

HttpConnection::HttpConnection(int fd)
    : fd_(fd)
{
}

HttpConnection::~HttpConnection()
{
    ::close(fd_);
}

bool HttpConnection::Send(const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t sent = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        done += static_cast<size_t>(sent);
    }
    return true;
}

bool HttpConnection::Fill(std::chrono::steady_clock::time_point deadline)
{
    if (closed_)
        return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd wanted{fd_, POLLIN, 0};
    if (::poll(&wanted, 1, static_cast<int>(std::max<int64_t>(left.count(), 0))) <= 0)
        return false;
    char chunk[16384];
    const ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
    if (got <= 0) {
        closed_ = true;
        return false;
    }
    buffer_.append(chunk, static_cast<size_t>(got));
    return true;
}

std::optional<HttpResponse> HttpConnection::Read(std::chrono::milliseconds wait)
{
    const auto deadline = std::chrono::steady_clock::now() + wait;
    size_t headEnd = std::string::npos;
    while ((headEnd = buffer_.find("\r\n\r\n")) == std::string::npos) {
        if (!Fill(deadline))
            return std::nullopt;
    }
    HttpResponse response;
    const std::string head = buffer_.substr(0, headEnd);
    buffer_.erase(0, headEnd + 4);
    size_t lineEnd = head.find("\r\n");
    const std::string statusLine = head.substr(0, lineEnd);
    if (statusLine.size() < 12)
        return std::nullopt;
    response.status = std::atoi(statusLine.c_str() + 9);
    while (lineEnd != std::string::npos) {
        const size_t start = lineEnd + 2;
        lineEnd = head.find("\r\n", start);
        const std::string line = head.substr(start, lineEnd == std::string::npos ? std::string::npos : lineEnd - start);
        const size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        size_t valueStart = colon + 1;
        while (valueStart < line.size() && line[valueStart] == ' ')
            ++valueStart;
        response.headers.emplace_back(line.substr(0, colon), line.substr(valueStart));
    }
    if (strcasecmp(response.Header("Transfer-Encoding").c_str(), "chunked") == 0) {
        while (true) {
            size_t sizeEnd;
            while ((sizeEnd = buffer_.find("\r\n")) == std::string::npos) {
                if (!Fill(deadline))
                    return std::nullopt;
            }
            const size_t size = std::strtoul(buffer_.c_str(), nullptr, 16);
            while (buffer_.size() < sizeEnd + 2 + size + 2) {
                if (!Fill(deadline))
                    return std::nullopt;
            }
            response.body += buffer_.substr(sizeEnd + 2, size);
            buffer_.erase(0, sizeEnd + 2 + size + 2);
            if (size == 0)
                break;
        }
    } else {
        const size_t length = std::strtoul(response.Header("Content-Length").c_str(), nullptr, 10);
        while (buffer_.size() < length) {
            if (!Fill(deadline))
                return std::nullopt;
        }
        response.body = buffer_.substr(0, length);
        buffer_.erase(0, length);
    }
    return response;
}

std::string HttpConnection::ReadAtLeast(size_t bytes, std::chrono::milliseconds wait)
{
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (buffer_.size() < bytes && Fill(deadline)) {
    }
    std::string out;
    out.swap(buffer_);
    return out;
}

bool HttpConnection::WaitClosed(std::chrono::milliseconds wait)
{
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (!closed_) {
        if (!Fill(deadline) && !closed_)
            return false;
        buffer_.clear();
    }
    return true;
}

HttpResponse Request(uint16_t port, const std::string& method, const std::string& target,
                     const std::vector<std::pair<std::string, std::string>>& headers, const std::string& body,
                     const char* from)
{
    std::unique_ptr<HttpConnection> connection = HttpConnection::Open(port, "127.0.0.1", from);
    if (!connection)
        return {};
    std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n";
    for (const auto& [name, value] : headers)
        request += name + ": " + value + "\r\n";
    if (!body.empty() || method == "POST")
        request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    request += "Connection: close\r\n\r\n" + body;
    if (!connection->Send(request))
        return {};
    return connection->Read(std::chrono::seconds(30)).value_or(HttpResponse{});
}

} // namespace vistrel::test
