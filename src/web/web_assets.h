// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string_view>

namespace vistrel {

// The pages, style sheet and scripts of the web server, built into the
// program from src/web/assets (no file is read at run time).
struct WebAsset {
    std::string_view name; // the file name, e.g. "live.js"
    std::string_view bytes;
};

// The asset with this file name, or nullptr.
const WebAsset* FindWebAsset(std::string_view name);

// The Content-Type of an asset by its extension.
std::string_view WebAssetType(std::string_view name);

} // namespace vistrel
