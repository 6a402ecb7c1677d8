// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vistrel {

// The temporary file a save writes before it renames it over the final name:
// ".<name>.tmp-<token>" in the same folder. <token> is six letters or digits
// chosen once per process, so a temporary with another token was left by an
// earlier run that never finished its save (a crash, a power cut) and may be
// removed, while one with ours may be a save in flight. The name is cut short
// where the whole would not fit `nameMax` bytes. Such names never end in
// ".jpg", so they never count as archive images. Any thread may call these.

inline constexpr size_t kTemporaryTokenLength = 6;

// This process's token.
const std::string& TemporaryToken();

// The temporary's file name for `name`, with this process's token.
std::string TemporaryName(std::string_view name, size_t nameMax);

// For a folder entry of the temporary form, the (possibly cut) name it stands
// for; empty for anything else. `token` gets its token.
std::string_view TemporaryTarget(std::string_view entry, std::string_view* token = nullptr);

// True when `entry` is a temporary of `name` left by another run.
bool IsLeftoverTemporaryOf(std::string_view entry, std::string_view name, size_t nameMax);

} // namespace vistrel
