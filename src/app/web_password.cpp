// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/web_password.h"

#include "settings/registry_key.h"
#include "web/password_hash.h"
#include "web/web_settings.h"

#include <sodium.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>

namespace vistrel {

namespace {

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr size_t kMaxPasswordBytes = 1024;

int Fail(const std::string& message, int status = kExitFailed)
{
    std::fprintf(stderr, "vistrel: %s\n", message.c_str());
    return status;
}

// "--web-password" and at most one "--instance N" (or "--instance=N"), nothing else.
bool ParseArguments(const std::vector<std::string>& arguments, int& instance, std::string& error)
{
    instance = 1;
    bool instanceGiven = false;
    for (size_t i = 0; i < arguments.size(); ++i) {
        const std::string_view argument = arguments[i];
        if (argument == "--web-password")
            continue;
        std::string_view value;
        if (argument == "--instance" && i + 1 < arguments.size())
            value = arguments[++i];
        else if (argument.starts_with("--instance="))
            value = argument.substr(11);
        else {
            error = "--web-password takes only --instance N, not " + std::string(argument);
            return false;
        }
        const bool digits = !value.empty() && value.size() <= 3
            && std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
        instance = digits ? std::stoi(std::string(value)) : 0;
        if (instanceGiven || instance < 1 || instance > 100) {
            error = "--instance takes one number from 1 to 100";
            return false;
        }
        instanceGiven = true;
    }
    return true;
}

// One line without its line end; false at end of input or for a line too
// long to be a password.
bool ReadLine(std::FILE* input, std::string& line)
{
    line.clear();
    for (int c = std::fgetc(input); c != EOF; c = std::fgetc(input)) {
        if (c == '\n')
            break;
        if (line.size() >= kMaxPasswordBytes)
            return false;
        line.push_back(char(c));
    }
    if (line.empty() && std::feof(input))
        return false;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return true;
}

// Asks on the terminal with echo off, and puts echo back whatever happens.
bool AskWithoutEcho(std::FILE* input, const char* prompt, std::string& line)
{
    const int fd = fileno(input);
    termios saved{};
    const bool terminal = tcgetattr(fd, &saved) == 0;
    if (terminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        quiet.c_lflag |= ECHONL;
        tcsetattr(fd, TCSAFLUSH, &quiet);
    }
    std::fputs(prompt, stderr);
    std::fflush(stderr);
    const bool read = ReadLine(input, line);
    if (terminal)
        tcsetattr(fd, TCSAFLUSH, &saved);
    return read;
}

} // namespace

int RunWebPasswordCommand(const std::vector<std::string>& arguments, std::FILE* input)
{
    int instance = 1;
    std::string error;
    if (!ParseArguments(arguments, instance, error))
        return Fail(error, kExitUsage);

    std::string password;
    if (isatty(fileno(input)) == 1) {
        const std::string prompt = "Remote access password of instance " + std::to_string(instance) + ": ";
        std::string again;
        if (!AskWithoutEcho(input, prompt.c_str(), password) || !AskWithoutEcho(input, "Again: ", again))
            return Fail("no password given; nothing changed");
        const bool same = password == again;
        sodium_memzero(again.data(), again.size());
        if (!same)
            return Fail("the two passwords differ; nothing changed");
    } else if (!ReadLine(input, password)) {
        return Fail("no password on standard input (one line of at most 1024 bytes); nothing changed");
    }
    if (password.empty())
        return Fail("an empty password is not allowed; nothing changed");

    const std::string hash = HashPassword(password);
    sodium_memzero(password.data(), password.size());
    if (hash.empty())
        return Fail("the password could not be hashed (out of memory); nothing changed");

    CRegistryKey key;
    key.SetRootKey(RegistryRoot::HKEY_LOCAL_MACHINE);
    if (!key.SetKey(WebKeyPath(instance), true) || !key.WriteString("PasswordHash", hash))
        return Fail("cannot write the settings store " + key.Store().folder().string() + "; nothing changed");
    std::fprintf(stderr, "vistrel: the remote access password of instance %d is set\n", instance);
    return 0;
}

} // namespace vistrel
