// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <string_view>

namespace vistrel {

// Passwords are kept only as libsodium's crypto_pwhash_str text (Argon2id,
// its own random salt and cost in the text). Both functions are slow on
// purpose (tens of milliseconds and 64 MiB), so the server runs them on its
// worker thread, never on its polling thread. Safe on any thread.

// Readies libsodium (its random numbers and hashes); false when it cannot
// start. Called by the functions below and by the server before it starts.
bool SodiumReady();

// The hash text of a password, or an empty text when libsodium fails (out of
// memory).
std::string HashPassword(std::string_view password);

// True when the password matches the hash text; false for any other password
// and for a text that is not a hash.
bool VerifyPassword(const std::string& hash, std::string_view password);

} // namespace vistrel
