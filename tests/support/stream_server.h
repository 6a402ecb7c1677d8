// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace vistrel::test {

// One run of tests/support/stream_servers.py on loopback, for as long as
// this object lives (or until Kill). Its standard error goes to a file
// that Log() reads, so a test's own standard error holds only its own.
class StreamServer {
public:
    // `arguments` follow the script's name: the mode and its options.
    explicit StreamServer(std::vector<std::string> arguments);
    ~StreamServer();
    StreamServer(const StreamServer&) = delete;
    StreamServer& operator=(const StreamServer&) = delete;

    // Starts the server and waits until it announces its port; false when
    // it does not within 30 s (Log() says why). Started again after Kill,
    // it listens on the same port.
    bool Start();
    // Ends the server at once, as a camera pulled from the network.
    void Kill();

    int port() const { return port_; }
    // "<scheme>://127.0.0.1:<port>/cam"
    std::string Url(const std::string& scheme) const;
    std::string Log() const;

private:
    std::vector<std::string> arguments_;
    pid_t pid_ = -1;
    int port_ = 0;
    std::string logPath_;
};

} // namespace vistrel::test
