// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/web_assets.h"

#include <array>

namespace vistrel {

// In the source made from the asset files at build time.
extern const std::array<WebAsset, VISTREL_WEB_ASSET_COUNT> kWebAssets;

const WebAsset* FindWebAsset(std::string_view name)
{
    for (const WebAsset& asset : kWebAssets) {
        if (asset.name == name)
            return &asset;
    }
    return nullptr;
}

std::string_view WebAssetType(std::string_view name)
{
    if (name.ends_with(".html"))
        return "text/html; charset=utf-8";
    if (name.ends_with(".css"))
        return "text/css; charset=utf-8";
    if (name.ends_with(".js"))
        return "text/javascript; charset=utf-8";
    if (name.ends_with(".svg"))
        return "image/svg+xml";
    return "application/octet-stream";
}

} // namespace vistrel
