// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "archive/archive_folder.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vistrel {

// The oldest images one listing of a camera's folder found, at most a
// bounded number of them, so that memory does not grow with the archive and
// the next deletion is taken in O(1). Collected entry by entry while the
// folder is read (a heap of the oldest seen so far), then kept oldest last.
// Lives on the archive thread.
class OldestImages {
public:
    struct Image {
        std::string stem; // the name without the camera's suffix: short enough to need no allocation
        int64_t bytes = 0;
        ArchiveStamp key;
    };

    // Starts collecting a listing; what is kept now stays until Finish.
    void Begin(const DeletionOrder& order, size_t capacity)
    {
        order_ = order;
        capacity_ = std::max<size_t>(capacity, 1);
        collecting_.clear();
        collecting_.reserve(std::min<size_t>(capacity_, 1024));
    }

    void Offer(const ArchiveEntry& entry, size_t suffixLength)
    {
        const auto newer = [this](const Image& a, const Image& b) { return Before(a, b); };
        const std::string_view stem = std::string_view(entry.name).substr(0, entry.name.size() - suffixLength);
        if (collecting_.size() == capacity_) {
            // Full: only an image older than the newest kept gets in.
            if (!order_.Before(entry.key, stem, collecting_.front().key, collecting_.front().stem))
                return;
            std::pop_heap(collecting_.begin(), collecting_.end(), newer);
            collecting_.pop_back();
        }
        collecting_.push_back({std::string(stem), entry.bytes, entry.key});
        std::push_heap(collecting_.begin(), collecting_.end(), newer);
    }

    // The listing is complete: its oldest images are the ones to delete.
    void Finish()
    {
        // Newest first, so that the oldest is taken from the back.
        std::sort(collecting_.begin(), collecting_.end(), [this](const Image& a, const Image& b) { return Before(b, a); });
        kept_.swap(collecting_);
        collecting_ = {};
    }
    void Abandon() { collecting_ = {}; }
    void Clear() { kept_ = {}; }

    bool Empty() const { return kept_.empty(); }
    size_t Size() const { return kept_.size(); }
    const Image& PeekOldest() const { return kept_.back(); }
    Image TakeOldest()
    {
        Image oldest = std::move(kept_.back());
        kept_.pop_back();
        return oldest;
    }
    // Tried first again: deletions that failed.
    void PutBack(Image image) { kept_.push_back(std::move(image)); }
    // An image of the finished listing that went another way.
    void Forget(std::string_view stem)
    {
        std::erase_if(kept_, [stem](const Image& image) { return image.stem == stem; });
    }

private:
    // Stems compare as the names do: all of one camera end in the same suffix.
    bool Before(const Image& a, const Image& b) const { return order_.Before(a.key, a.stem, b.key, b.stem); }

    DeletionOrder order_{0, 0};
    size_t capacity_ = 1;
    std::vector<Image> collecting_; // a heap, newest at the front
    std::vector<Image> kept_;       // newest first
};

} // namespace vistrel
