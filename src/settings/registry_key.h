// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "settings/registry_store.h"
#include "common/logfont.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace vistrel {

// Reads and writes the values of one key of the settings store. Numbers are
// 4-byte little-endian REG_BINARY values, texts REG_SZ, fonts the 60-byte
// LOGFONTA record as REG_BINARY. Every read falls back to the caller's
// default; no failure is shown to the user.
//
// Not synchronised: a key object belongs to its owner's thread (the main
// window's on the user-interface thread, used under SettingsLock).
class CRegistryKey {
public:
    static constexpr size_t kStringBufferBytes = 255; // a text read back, terminating zero included
    static constexpr size_t kMaxWrittenChars = 254;   // longer texts are not written
    static constexpr size_t kFontBytes = sizeof(LOGFONTA);
    // Texts added beyond the original values (the chosen device's identity,
    // which for a network camera is a URL of up to 2048 characters).
    static constexpr size_t kMaxLongTextChars = 4096;

    // The store folder is read from the environment when the key is made.
    explicit CRegistryKey(std::filesystem::path storeFolder = DefaultRegistryFolder());

    // Only the four predefined roots; anything else keeps the old root.
    bool SetRootKey(RegistryRoot root);
    // An empty path selects the root itself. Otherwise the key must exist or,
    // with create, be made. After a failure the key selects nothing until the
    // next successful SetKey: reads give their defaults and writes are
    // skipped, so values never land in (or come from) the key selected before.
    bool SetKey(std::string_view path, bool create);

    // At most 4 bytes of any stored type, little-endian; a shorter value is
    // zero-extended; an empty or longer value, or none, gives the default.
    int32_t ReadInt(std::string_view name, int32_t defaultValue);
    // Only REG_SZ and REG_EXPAND_SZ (unexpanded), up to 255 bytes with the
    // terminating zero; else the default.
    std::string ReadString(std::string_view name, const std::string& defaultValue);
    // As ReadString and WriteString, for the texts that may be up to
    // kMaxLongTextChars long.
    std::string ReadLongString(std::string_view name, const std::string& defaultValue);
    bool WriteLongString(std::string_view name, std::string_view text);
    // Replaces font with the stored record when it is exactly 60 bytes; a
    // longer or shorter one, or none, leaves font and gives false.
    bool ReadFont(std::string_view name, LOGFONTA& font);

    bool WriteInt(std::string_view name, int32_t value);
    // The text up to its first zero byte; over 254 characters it is not
    // written and false is returned (the store keeps what it held).
    bool WriteString(std::string_view name, std::string_view text);
    bool WriteFont(std::string_view name, const LOGFONTA& font);

    // REG_SZ 1, REG_EXPAND_SZ 2, REG_BINARY 3, REG_DWORD 4 (or any other stored
    // number); 0 when the value cannot be queried.
    uint32_t ValueType(std::string_view name);

    // The result of the last open, query or write (RegStatus numbers).
    int32_t LastError() const { return lastError_; }
    RegistryRoot RootKey() const { return rootKey_; }
    // Every write replaces the key's file and syncs it, so the store needs no
    // separate flush; the flag is kept for callers that ask.
    bool NoFlush() const { return noFlush_; }
    const std::string& SubKey() const { return subKey_; }

    RegistryStore& Store() { return store_; }

private:
    RegStatus read(std::string_view name, RegValue& value);
    bool write(std::string_view name, RegValue value);
    std::string readText(std::string_view name, const std::string& defaultValue, size_t bufferBytes);
    bool writeText(std::string_view name, std::string_view text, size_t maxChars);

    int32_t lastError_ = 0;
    RegistryRoot rootKey_ = RegistryRoot::HKEY_CURRENT_USER;
    bool noFlush_ = true;
    std::string subKey_;
    bool keySelected_ = true; // false after a failed SetKey
    RegistryStore store_;
};

} // namespace vistrel
