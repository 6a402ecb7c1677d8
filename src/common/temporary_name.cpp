// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/temporary_name.h"

#include <algorithm>
#include <random>

namespace vistrel {

namespace {

constexpr std::string_view kMarker = ".tmp-";
constexpr std::string_view kTokenChars = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

bool IsTokenChar(char c)
{
    return kTokenChars.find(c) != std::string_view::npos;
}

// How much of `name` the temporary keeps: the dot, the marker and the token
// take the rest of a file name.
size_t KeptLength(std::string_view name, size_t nameMax)
{
    const size_t overhead = 1 + kMarker.size() + kTemporaryTokenLength;
    return nameMax > overhead ? std::min(name.size(), nameMax - overhead) : 0;
}

} // namespace

const std::string& TemporaryToken()
{
    static const std::string token = [] {
        std::random_device device;
        std::uniform_int_distribution<size_t> pick(0, kTokenChars.size() - 1);
        std::string chosen(kTemporaryTokenLength, 'X');
        for (char& c : chosen)
            c = kTokenChars[pick(device)];
        return chosen;
    }();
    return token;
}

std::string TemporaryName(std::string_view name, size_t nameMax)
{
    std::string temporary = ".";
    temporary.append(name.substr(0, KeptLength(name, nameMax)));
    temporary.append(kMarker);
    temporary.append(TemporaryToken());
    return temporary;
}

std::string_view TemporaryTarget(std::string_view entry, std::string_view* token)
{
    const size_t tail = kMarker.size() + kTemporaryTokenLength;
    if (entry.size() < 1 + tail || entry.front() != '.')
        return {};
    const std::string_view end = entry.substr(entry.size() - tail);
    if (!end.starts_with(kMarker) || !std::all_of(end.begin() + kMarker.size(), end.end(), IsTokenChar))
        return {};
    if (token)
        *token = end.substr(kMarker.size());
    return entry.substr(1, entry.size() - 1 - tail);
}

bool IsLeftoverTemporaryOf(std::string_view entry, std::string_view name, size_t nameMax)
{
    std::string_view token;
    const std::string_view target = TemporaryTarget(entry, &token);
    return !target.empty() && target == name.substr(0, KeptLength(name, nameMax)) && token != TemporaryToken();
}

} // namespace vistrel
