// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/file_status.h"
#include "settings/archive_name.h"

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include <dirent.h>

namespace vistrel {

// The archive pattern "*-Cam%d%c.jpg"; letter case counts, as it does in
// the names the image thread writes.
inline bool MatchesArchivePattern(std::string_view name, std::string_view suffix)
{
    return name.ends_with(suffix);
}

// Oldest first, by the time in the name. Only a name saved more than the
// whole retention period after now (while the clock ran far ahead) counts as
// older than all others; names that carry no time come next.
class DeletionOrder {
public:
    DeletionOrder(std::time_t now, int64_t periodSeconds);
    // True when the image keyed `a` (named `nameA`) goes before `b`.
    bool Before(ArchiveStamp a, std::string_view nameA, ArchiveStamp b, std::string_view nameB) const;

private:
    int Rank(ArchiveStamp key) const;
    uint64_t farAhead_; // save times above it were taken on a clock far ahead
};

// One regular file whose name matches a camera's archive pattern, or is a
// temporary of such a name. Folders, links and devices so named are none:
// they are neither counted nor deleted, and links are never followed.
struct ArchiveEntry {
    enum class Kind {
        Image,    // a regular file with content
        Empty,    // a regular file of no size: never a whole image
        Leftover, // a temporary an earlier run left (see common/temporary_name.h)
    };
    std::string name;
    Kind kind = Kind::Image;
    int64_t bytes = 0; // 0 when sizes are not read
    ArchiveStamp key;
};

// Reads a camera's archive folder one entry at a time, so that a caller can
// stop after any entry of a folder of a million. Used on the archive thread.
class ArchiveFolderReader {
public:
    // A folder that cannot be opened reads as empty; OpenError says why.
    // Without `sizes` only what the listing tells is read: images carry no
    // size, and an empty one passes for an image.
    ArchiveFolderReader(const std::string& folder, std::string_view suffix, bool sizes);
    ~ArchiveFolderReader();
    ArchiveFolderReader(const ArchiveFolderReader&) = delete;
    ArchiveFolderReader& operator=(const ArchiveFolderReader&) = delete;

    int OpenError() const { return openError_; }
    // The next entry of interest; false at the end.
    bool Next(ArchiveEntry& entry);
    // Removes an entry this reader returned (a leftover or an empty image).
    FileStatus Remove(const ArchiveEntry& entry);
    // True when an image this reader returned lacks the end-of-image marker
    // (an empty one included): what a power cut leaves of an image renamed
    // into place before its data reached the disk. Reads its last two bytes
    // only; a file that cannot be read is not called torn.
    bool Torn(const ArchiveEntry& entry);

private:
    DIR* dir_ = nullptr;
    int openError_ = 0;
    std::string suffix_;
    bool sizes_;
};

// Which folder a path names, so that one deleted, or replaced by another,
// is told from the folder last listed.
struct FolderId {
    bool present = false;
    uint64_t device = 0;
    uint64_t inode = 0;
    bool operator==(const FolderId&) const = default;
};
FolderId IdentifyFolder(const std::string& folder);

enum class DeleteResult {
    Deleted,
    Vanished, // nothing of that name any more
    NotAFile, // a folder, link or device took its name: never deleted
    Failed,   // this file only (busy, protected): worth another try later
    FolderRefused, // read-only or no write permission: no image there can go now
};

// How deleting one archive image went.
struct ArchiveDeletion {
    DeleteResult result = DeleteResult::Deleted;
    FileStatus status;  // why it failed, for Failed and FolderRefused
    int64_t bytes = 0;  // the size of the file deleted
    bool lastLink = true; // no other name (a kept copy) holds its data: its bytes are free now
};

// Deletes folder/name when it is a regular file.
ArchiveDeletion DeleteArchiveFile(const std::string& folder, const std::string& name);

} // namespace vistrel
