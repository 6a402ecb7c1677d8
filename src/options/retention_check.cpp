// SPDX-License-Identifier: GPL-3.0-or-later
#include "options/retention_check.h"

#include "archive/archive_folder.h"

#include <dirent.h>

#include <algorithm>
#include <memory>

namespace vistrel {

ExpiringImages CountExpiringImages(const std::string& folder, std::string_view suffix, std::time_t now,
                                   int64_t periodSeconds, size_t maxEntries)
{
    ExpiringImages result;
    // An empty folder means the root, as it does for the names the image thread writes.
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir((folder + "/").c_str()), &::closedir);
    if (!dir)
        return result;
    const int64_t cutoff = int64_t(now) - periodSeconds;
    const int64_t farAhead = int64_t(now) + periodSeconds;
    size_t read = 0;
    while (const dirent* entry = ::readdir(dir.get())) {
        if (read++ == maxEntries) {
            result.complete = false;
            break;
        }
        // DT_UNKNOWN (file systems that do not say) counts as a file: no stat here.
        if (entry->d_type != DT_REG && entry->d_type != DT_UNKNOWN)
            continue;
        const std::string_view name(entry->d_name);
        if (!MatchesArchivePattern(name, suffix))
            continue;
        ++result.listed;
        const ArchiveStamp stamp = ArchiveNameStamp(name);
        const int64_t saved = stamp.seconds;
        if (stamp.Valid() && saved >= cutoff && saved <= farAhead)
            continue;
        ++result.expiring;
        if (stamp.Valid() && saved < cutoff) {
            result.oldest = result.oldest == 0 ? std::time_t(saved) : std::min(result.oldest, std::time_t(saved));
            result.newest = std::max(result.newest, std::time_t(saved));
        }
    }
    return result;
}

} // namespace vistrel
