// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <string>
#include <unordered_map>

namespace vistrel {

using WebClock = std::chrono::steady_clock;

// The logged-in browsers: random 256-bit ids handed out as the session
// cookie, each good for a fixed time after its login. Only a hash of each id
// is held, so looking one up tells an attacker nothing through its timing.
//
// Lives on the server's polling thread; not synchronised.
class SessionTable {
public:
    static constexpr std::chrono::hours kLifetime{12};
    static constexpr size_t kMaxSessions = 64; // a new login beyond drops the oldest

    // A new session's id: 64 hex digits.
    std::string Create(WebClock::time_point now);
    bool Valid(const std::string& id, WebClock::time_point now);
    void Remove(const std::string& id);

private:
    static std::string Key(const std::string& id);
    void DropExpired(WebClock::time_point now);

    std::map<std::string, WebClock::time_point> expiry_; // by the hash of the id
};

// Failed logins per client address: after kMaxFailures failures within
// kWindow, or that many attempts still being checked, the address gets 429
// until the oldest failure is a minute old. A successful login clears the
// address's failures.
//
// Lives on the server's polling thread; not synchronised.
class LoginLimiter {
public:
    static constexpr int kMaxFailures = 5;
    static constexpr std::chrono::minutes kWindow{1};
    static constexpr size_t kMaxAddresses = 4096;

    // Whether a login attempt from the address may be checked now; when it
    // may, the attempt counts until Finish.
    bool Admit(const std::string& address, WebClock::time_point now);
    void Finish(const std::string& address, bool succeeded, WebClock::time_point now);
    // An admitted attempt that was never checked (the server stopping).
    void Cancel(const std::string& address);

private:
    struct Record {
        std::deque<WebClock::time_point> failures; // within the last kWindow
        int pending = 0;
    };
    static void Forget(Record& record, WebClock::time_point now);
    void Prune(WebClock::time_point now);

    std::unordered_map<std::string, Record> records_;
};

} // namespace vistrel
