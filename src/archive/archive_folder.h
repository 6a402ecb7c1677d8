#pragma once

#include "settings/instance_settings.h" // ArchiveSuffix

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace vistrel {

// One folder entry whose name matches a camera's archive pattern.
struct ArchiveEntry {
    std::string name;
    bool folder = false;
    int64_t bytes = 0; // read only when the listing asks for sizes; 0 for folders
};

// The archive pattern "*-Cam%d%c.jpg"; letter case counts, as it does in
// the names the image thread writes.
inline bool MatchesArchivePattern(std::string_view name, std::string_view suffix)
{
    return name.ends_with(suffix);
}

// Whether the save time that starts an archive name lies after `now`, i.e.
// the image was written before the clock was stepped back. Names carry the
// time as ten digits followed by the collision number; anything shorter
// dates from before 2001 and is never taken for the future.
bool SavedAfter(std::string_view name, std::time_t now);

// Oldest first: names saved after `now` (written before the clock went back)
// lead, each group in ascending name order. Without a clock step this is
// plain ascending name order.
void SortOldestFirst(std::vector<ArchiveEntry>& entries, std::time_t now);

// The entries of `folder` whose names match `suffix`, oldest first. A folder
// that cannot be opened lists nothing. With `withSizes` the size of every
// file is read (links followed); otherwise only what the listing tells.
std::vector<ArchiveEntry> ListArchive(const std::string& folder, std::string_view suffix, bool withSizes,
                                      std::time_t now);

enum class DeleteResult {
    Deleted,
    Vanished, // nothing of that name any more
    NotAFile, // a folder, link or device: never deleted
    Failed,   // this file only (busy, protected): worth another try later
    FolderRefused, // read-only or no write permission: no image there can go now
};

// Deletes folder/name when it is a regular file; `bytes` gets its size.
DeleteResult DeleteArchiveFile(const std::string& folder, const std::string& name, int64_t& bytes);

} // namespace vistrel
