// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/password_hash.h"

#include <sodium.h>

namespace vistrel {

bool SodiumReady()
{
    // sodium_init is safe to call from several threads and more than once.
    static const bool ready = sodium_init() >= 0;
    return ready;
}

std::string HashPassword(std::string_view password)
{
    if (!SodiumReady())
        return {};
    char hash[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(hash, password.data(), password.size(), crypto_pwhash_OPSLIMIT_INTERACTIVE,
                          crypto_pwhash_MEMLIMIT_INTERACTIVE)
        != 0)
        return {};
    return hash;
}

bool VerifyPassword(const std::string& hash, std::string_view password)
{
    if (!SodiumReady() || hash.empty() || hash.size() >= crypto_pwhash_STRBYTES)
        return false;
    return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

} // namespace vistrel
