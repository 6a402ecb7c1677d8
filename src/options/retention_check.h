// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace vistrel {

// The images of one camera's archive folder that a retention period of
// `periodSeconds` no longer covers: those whose name gives a save time
// before now - period, and those the archive thread deletes before any
// dated image (a name without a time, or a time beyond now + period).
struct ExpiringImages {
    int64_t listed = 0;   // the camera's images among the entries read
    int64_t expiring = 0; // of those, the ones the period no longer covers
    // Save times of the oldest and newest dated image that expire; 0 when none.
    std::time_t oldest = 0;
    std::time_t newest = 0;
    bool complete = true; // false when the listing stopped after its bound

    // More than 5% of the images read expire.
    bool Many() const { return expiring * 20 > listed; }
};

// Reads at most `maxEntries` entries of `folder`, and only the listing:
// names and entry types, no file is opened or measured, so the dialog is
// never held up by a large folder. `suffix` is the camera's "-Cam%d%c.jpg";
// folders and links named like images are not counted.
ExpiringImages CountExpiringImages(const std::string& folder, std::string_view suffix, std::time_t now,
                                   int64_t periodSeconds, size_t maxEntries);

} // namespace vistrel
