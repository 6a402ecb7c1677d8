// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/stream_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>

extern char** environ;

namespace vistrel::test {

StreamServer::StreamServer(std::vector<std::string> arguments)
    : arguments_(std::move(arguments))
{
    char path[] = "/tmp/vistrel-stream-server-XXXXXX";
    const int fd = mkstemp(path);
    if (fd >= 0) {
        ::close(fd);
        logPath_ = path;
    }
}

StreamServer::~StreamServer()
{
    Kill();
    if (!logPath_.empty())
        ::unlink(logPath_.c_str());
}

bool StreamServer::Start()
{
    Kill();
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return false;
    // Debian's interpreter, which has the GStreamer bindings, whatever
    // python3 comes first on the PATH.
    std::vector<std::string> words = {"/usr/bin/python3", VISTREL_STREAM_SERVERS_SCRIPT};
    words.insert(words.end(), arguments_.begin(), arguments_.end());
    if (port_ != 0) {
        words.push_back("--port");
        words.push_back(std::to_string(port_));
    }
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, logPath_.empty() ? "/dev/null" : logPath_.c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND, 0600);
    const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (rc != 0) {
        pid_ = -1;
        ::close(out[0]);
        return false;
    }

    // "PORT <n>\n" once it listens.
    std::string announced;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (announced.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd fd{out[0], POLLIN, 0};
        if (::poll(&fd, 1, 200) <= 0)
            continue;
        char buffer[64];
        const ssize_t got = ::read(out[0], buffer, sizeof buffer);
        if (got <= 0)
            break;
        announced.append(buffer, size_t(got));
    }
    ::close(out[0]);
    if (announced.rfind("PORT ", 0) != 0) {
        Kill();
        return false;
    }
    port_ = std::atoi(announced.c_str() + 5);
    return port_ > 0;
}

void StreamServer::Kill()
{
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
}

std::string StreamServer::Url(const std::string& scheme) const
{
    return scheme + "://127.0.0.1:" + std::to_string(port_) + "/cam";
}

std::string StreamServer::Log() const
{
    std::ifstream in(logPath_);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace vistrel::test
