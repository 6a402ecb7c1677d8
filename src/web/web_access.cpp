// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/web_access.h"

#include "common/text_format.h"

#include <sodium.h>

namespace vistrel {

std::string SessionTable::Key(const std::string& id)
{
    unsigned char hash[crypto_generichash_BYTES];
    crypto_generichash(hash, sizeof hash, reinterpret_cast<const unsigned char*>(id.data()), id.size(), nullptr, 0);
    return std::string(reinterpret_cast<const char*>(hash), sizeof hash);
}

void SessionTable::DropExpired(WebClock::time_point now)
{
    for (auto it = expiry_.begin(); it != expiry_.end();) {
        if (it->second <= now)
            it = expiry_.erase(it);
        else
            ++it;
    }
}

std::string SessionTable::Create(WebClock::time_point now)
{
    DropExpired(now);
    if (expiry_.size() >= kMaxSessions) {
        auto oldest = expiry_.begin();
        for (auto it = expiry_.begin(); it != expiry_.end(); ++it) {
            if (it->second < oldest->second)
                oldest = it;
        }
        expiry_.erase(oldest);
    }
    unsigned char random[32];
    randombytes_buf(random, sizeof random);
    std::string id;
    for (unsigned char byte : random)
        id += StringPrintf("%02x", byte);
    expiry_[Key(id)] = now + kLifetime;
    return id;
}

bool SessionTable::Valid(const std::string& id, WebClock::time_point now)
{
    if (id.size() != 64)
        return false;
    const auto it = expiry_.find(Key(id));
    if (it == expiry_.end())
        return false;
    if (it->second <= now) {
        expiry_.erase(it);
        return false;
    }
    return true;
}

void SessionTable::Remove(const std::string& id)
{
    expiry_.erase(Key(id));
}

void LoginLimiter::Forget(Record& record, WebClock::time_point now)
{
    while (!record.failures.empty() && record.failures.front() + kWindow <= now)
        record.failures.pop_front();
}

void LoginLimiter::Prune(WebClock::time_point now)
{
    for (auto it = records_.begin(); it != records_.end();) {
        Forget(it->second, now);
        if (it->second.failures.empty() && it->second.pending == 0)
            it = records_.erase(it);
        else
            ++it;
    }
}

bool LoginLimiter::Admit(const std::string& address, WebClock::time_point now)
{
    auto it = records_.find(address);
    if (it == records_.end()) {
        if (records_.size() >= kMaxAddresses)
            Prune(now);
        // Still full: every address in it failed within the minute.
        if (records_.size() >= kMaxAddresses)
            return false;
        it = records_.emplace(address, Record{}).first;
    }
    Record& record = it->second;
    Forget(record, now);
    if (static_cast<int>(record.failures.size()) + record.pending >= kMaxFailures)
        return false;
    ++record.pending;
    return true;
}

void LoginLimiter::Finish(const std::string& address, bool succeeded, WebClock::time_point now)
{
    const auto it = records_.find(address);
    if (it == records_.end())
        return;
    Record& record = it->second;
    if (record.pending > 0)
        --record.pending;
    if (succeeded)
        record.failures.clear();
    else
        record.failures.push_back(now);
    Forget(record, now);
    if (record.failures.empty() && record.pending == 0)
        records_.erase(it);
}

void LoginLimiter::Cancel(const std::string& address)
{
    const auto it = records_.find(address);
    if (it != records_.end() && it->second.pending > 0)
        --it->second.pending;
}

} // namespace vistrel
