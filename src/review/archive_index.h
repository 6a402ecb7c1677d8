// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "settings/archive_name.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vistrel {

// An image's key in the index: the stamp its name carries (its save time
// and collision number), as the image thread made the name.
using ArchiveKey = ArchiveStamp;

// One image of the index: twelve bytes, no name kept (it is made again from
// the key), so a million images take 12 MB.
struct ArchiveImage {
    static constexpr uint32_t kUnknownBytes = UINT32_MAX;

    ArchiveKey key;
    uint32_t bytes = kUnknownBytes; // until the file's size has been read

    bool operator<(const ArchiveImage& other) const { return key < other.key; }
};
static_assert(sizeof(ArchiveImage) == 12);

// The key of an archive name that ends in `suffix` ("-Cam%d%c.jpg"), or none
// for any other name: only names the recorder could have written are taken
// (ArchiveFileStamp).
std::optional<ArchiveKey> ParseArchiveName(std::string_view name, std::string_view suffix);

// The file name of a key: the same digits the image thread writes (ArchiveFileName).
std::string ArchiveImageName(const ArchiveKey& key, std::string_view suffix);

// An immutable, sorted snapshot of one camera's archive, shared between the
// thread that lists it and the windows that read it.
class ArchiveIndex {
public:
    enum class State {
        Listing, // the names are still being read; images() holds none yet
        Ready,
        Missing, // the folder does not exist (or cannot be read)
    };

    ArchiveIndex() = default;
    ArchiveIndex(std::vector<ArchiveImage> images, State state, size_t namesListed = 0);

    const std::vector<ArchiveImage>& images() const { return images_; }
    size_t size() const { return images_.size(); }
    bool empty() const { return images_.empty(); }
    State state() const { return state_; }
    // While listing: the matching names read so far.
    size_t namesListed() const { return namesListed_; }
    // Every image's size has been read.
    bool sizesKnown() const { return unknownSizes_ == 0; }

    // When image i was taken, in milliseconds since 1970 (UTC). Names carry
    // whole seconds; the k images of one second are spread evenly over it, in
    // sequence order, so playback and video keep the recording's pace.
    int64_t TimeMs(size_t i) const;
    // The images whose time lies in [fromMs, toMs), as [first, last).
    std::pair<size_t, size_t> Range(int64_t fromMs, int64_t toMs) const;
    // The first image at or after the key (size() if none).
    size_t LowerBound(const ArchiveKey& key) const;
    // The last image at or before a time, else the first image; size() when empty.
    size_t AtOrBefore(int64_t ms) const;

    struct Totals {
        size_t images = 0;
        uint64_t bytes = 0;      // of the images whose size is known
        size_t unknownSizes = 0; // images whose size has not been read yet
    };
    Totals Sum(size_t first, size_t last) const;

private:
    std::vector<ArchiveImage> images_;
    State state_ = State::Listing;
    size_t namesListed_ = 0;
    size_t unknownSizes_ = 0;
};

// Lists `folder` once: the regular files whose names end in `suffix` (links
// are not followed), sorted, with no sizes read. `listed` counts the names as they are read (for progress);
// the listing gives up, returning what it has, once `cancel` is set. False
// when the folder cannot be opened.
bool ListArchiveImages(const std::string& folder, std::string_view suffix, std::vector<ArchiveImage>& images,
                       const std::atomic<bool>& cancel, std::atomic<size_t>* listed = nullptr);

// Reads the size of images[first..last) from the folder open as `dirFd`; an
// image whose file has gone, or is no longer a regular file, keeps
// kUnknownBytes (its removal is on its way).
void ReadImageSizes(int dirFd, std::string_view suffix, std::vector<ArchiveImage>& images, size_t first,
                    size_t last);

} // namespace vistrel
