// SPDX-License-Identifier: GPL-3.0-or-later
#include "settings/registry_key.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace vistrel {

static_assert(std::endian::native == std::endian::little, "stored records are little-endian, byte for byte");

CRegistryKey::CRegistryKey(std::filesystem::path storeFolder)
    : store_(std::move(storeFolder))
{
}

bool CRegistryKey::SetRootKey(RegistryRoot root)
{
    if (RootName(root).empty())
        return false;
    rootKey_ = root;
    return true;
}

bool CRegistryKey::SetKey(std::string_view path, bool create)
{
    if (path.empty()) {
        subKey_.clear();
        keySelected_ = true;
        return true;
    }
    RegStatus status = store_.openKey(rootKey_, path);
    if (status == RegStatus::FileNotFound && create)
        status = store_.createKey(rootKey_, path);
    lastError_ = int32_t(status);
    if (status != RegStatus::Ok) {
        keySelected_ = false;
        return false;
    }
    subKey_ = std::string(path);
    keySelected_ = true;
    return true;
}

RegStatus CRegistryKey::read(std::string_view name, RegValue& value)
{
    const RegStatus status
        = keySelected_ ? store_.readValue(rootKey_, subKey_, name, value) : RegStatus::FileNotFound;
    lastError_ = int32_t(status);
    return status;
}

bool CRegistryKey::write(std::string_view name, RegValue value)
{
    const RegStatus status
        = keySelected_ ? store_.writeValue(rootKey_, subKey_, name, value) : RegStatus::FileNotFound;
    lastError_ = int32_t(status);
    return status == RegStatus::Ok;
}

int32_t CRegistryKey::ReadInt(std::string_view name, int32_t defaultValue)
{
    RegValue value;
    if (read(name, value) != RegStatus::Ok)
        return defaultValue;
    if (value.data.size() > sizeof(int32_t)) {
        lastError_ = int32_t(RegStatus::MoreData);
        return defaultValue;
    }
    if (value.data.empty())
        return defaultValue;
    uint32_t number = 0;
    for (size_t i = 0; i < value.data.size(); ++i)
        number |= uint32_t(value.data[i]) << (8 * i);
    return int32_t(number);
}

std::string CRegistryKey::ReadString(std::string_view name, const std::string& defaultValue)
{
    return readText(name, defaultValue, kStringBufferBytes);
}

std::string CRegistryKey::ReadLongString(std::string_view name, const std::string& defaultValue)
{
    return readText(name, defaultValue, kMaxLongTextChars + 1);
}

std::string CRegistryKey::readText(std::string_view name, const std::string& defaultValue, size_t bufferBytes)
{
    RegValue value;
    if (read(name, value) != RegStatus::Ok || (value.type != REG_SZ && value.type != REG_EXPAND_SZ))
        return defaultValue;
    // A hand-made value may lack its terminating zero; it is counted anyway,
    // as the reader would need room for it.
    const auto zero = std::find(value.data.begin(), value.data.end(), uint8_t(0));
    const size_t bytesWithZero = zero == value.data.end() ? value.data.size() + 1 : value.data.size();
    if (bytesWithZero > bufferBytes) {
        lastError_ = int32_t(RegStatus::MoreData);
        return defaultValue;
    }
    return std::string(value.data.begin(), zero);
}

bool CRegistryKey::ReadFont(std::string_view name, LOGFONTA& font)
{
    RegValue value;
    if (read(name, value) != RegStatus::Ok)
        return false;
    if (value.data.size() > kFontBytes) {
        lastError_ = int32_t(RegStatus::MoreData);
        return false;
    }
    // A short record would leave the face name (the tail) cut off or empty.
    if (value.data.size() < kFontBytes)
        return false;
    std::memcpy(&font, value.data.data(), kFontBytes);
    return true;
}

bool CRegistryKey::WriteInt(std::string_view name, int32_t value)
{
    const uint32_t number = uint32_t(value);
    return write(name, RegValue{REG_BINARY,
                                {uint8_t(number), uint8_t(number >> 8), uint8_t(number >> 16), uint8_t(number >> 24)}});
}

bool CRegistryKey::WriteString(std::string_view name, std::string_view text)
{
    return writeText(name, text, kMaxWrittenChars);
}

bool CRegistryKey::WriteLongString(std::string_view name, std::string_view text)
{
    return writeText(name, text, kMaxLongTextChars);
}

bool CRegistryKey::writeText(std::string_view name, std::string_view text, size_t maxChars)
{
    text = text.substr(0, text.find('\0'));
    if (text.size() > maxChars)
        return false;
    RegValue value{REG_SZ, std::vector<uint8_t>(text.begin(), text.end())};
    value.data.push_back(0);
    return write(name, std::move(value));
}

bool CRegistryKey::WriteFont(std::string_view name, const LOGFONTA& font)
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(&font);
    return write(name, RegValue{REG_BINARY, std::vector<uint8_t>(bytes, bytes + kFontBytes)});
}

uint32_t CRegistryKey::ValueType(std::string_view name)
{
    RegValue value;
    return read(name, value) == RegStatus::Ok ? value.type : 0;
}

} // namespace vistrel
