// SPDX-License-Identifier: GPL-3.0-or-later
// The part of ArchiveKeeper that keeps the caps and the storage floor.
#include "archive/archive_keeper.h"

#include "archive/archive_folder.h"
#include "archive/archive_log.h"
#include "archive/free_space.h"
#include "common/text_format.h"

#include <algorithm>
#include <ctime>

namespace vistrel {

namespace {

constexpr int64_t kMB = 1024 * 1024;
// Room asked for by a failed save: twice the camera's last image, at least this.
constexpr int64_t kLeastRoom = 64 * 1024;
// A held disk records again once this much more than its floor is free (a
// sixteenth of a small one), so that it does not flap at the floor.
constexpr int64_t kResumeMargin = kMB;

std::string DiskFullReason(const int64_t freeBytes, uint64_t floorBytes)
{
    return StringPrintf("disk full: %lld MB free, floor %llu MB", (long long)(std::max<int64_t>(freeBytes, 0) / kMB),
                        (unsigned long long)(floorBytes / uint64_t(kMB)));
}

} // namespace

void ArchiveKeeper::ReadSpace(SpaceGroup& group)
{
    const auto now = now_();
    FileSystemSpace space;
    if (const FileStatus read = ReadFileSystemSpace(group.folder, space); !read) {
        qCDebug(lcArchive) << "cannot read the free space of" << group.folder.c_str() << read.Reason().c_str();
        return;
    }
    group.totalBytes = space.totalBytes;
    group.floorBytes = FloorBytes(keepFreeMB_, space.totalBytes);
    group.freeAtRead = space.freeBytes;
    group.writtenSinceRead = 0;
    group.freedSinceRead = 0;
    group.readAt = now;

    if (group.windowStart == std::chrono::steady_clock::time_point{})
        group.windowStart = now;
    const double seconds = std::chrono::duration<double>(now - group.windowStart).count();
    if (seconds >= 5)
        group.bytesPerSecond = double(group.windowBytes) / seconds;
    if (seconds >= 60) {
        group.windowBytes = 0;
        group.windowStart = now;
    }

    const int64_t margin = std::min<int64_t>(kResumeMargin, int64_t(group.totalBytes / 16));
    if (group.held && group.FreeNow() >= int64_t(group.floorBytes) + margin)
        group.held = false;
}

void ArchiveKeeper::RefreshSpace(bool force)
{
    const auto now = now_();
    if (!force && spaceReadAt_ != std::chrono::steady_clock::time_point{} && now - spaceReadAt_ < kSpaceReadEvery)
        return;
    spaceReadAt_ = now;
    for (auto& [device, group] : groups_) {
        group.seen = false;
        group.recorded = false;
        group.letters.clear();
    }
    for (int i = 0; i < kCameraCount; ++i) {
        const FolderId id = IdentifyFolder(archivePath_[i]);
        letterDevice_[i] = id.present ? id.device : 0;
        if (!id.present)
            continue;
        SpaceGroup& group = groups_[id.device];
        if (!group.seen)
            group.folder = archivePath_[i];
        group.seen = true;
        group.letters.push_back(i);
        group.recorded = group.recorded || Handled(i);
    }
    // Only the file systems this instance records to are kept to a floor.
    for (auto it = groups_.begin(); it != groups_.end();) {
        if (!it->second.seen || !it->second.recorded) {
            it = groups_.erase(it);
            continue;
        }
        ReadSpace(it->second);
        ++it;
    }
}

void ArchiveKeeper::NoteWritten()
{
    for (int i = 0; i < kCameraCount; ++i) {
        if (!Handled(i))
            continue;
        int64_t bytes = 0;
        if (!counters_.ReadBytes(i, bytes))
            continue;
        const int64_t written = bytes - bytesSeen_[i];
        const bool valid = bytesSeenValid_[i];
        bytesSeen_[i] = bytes;
        bytesSeenValid_[i] = true;
        const auto group = groups_.find(letterDevice_[i]);
        if (!valid || written <= 0 || group == groups_.end())
            continue;
        group->second.writtenSinceRead += written;
        group->second.windowBytes += written;
    }
}

void ArchiveKeeper::NoteFreed(int camera, const ArchiveDeletion& deletion)
{
    // A kept copy still holds the data of an image deleted here.
    const auto group = groups_.find(letterDevice_[camera]);
    if (deletion.lastLink && group != groups_.end())
        group->second.freedSinceRead += deletion.bytes;
}

bool ArchiveKeeper::DeleteChosen(int camera, const OldestImages::Image& image)
{
    const ArchiveDeletion deletion = DeleteArchiveFile(archivePath_[camera], image.stem + suffix_[camera]);
    switch (deletion.result) {
    case DeleteResult::Deleted:
        fresh_[camera] = false;
        SubtractDeleted(camera, deletion.bytes);
        NoteFreed(camera, deletion);
        return true;
    case DeleteResult::Vanished:
    case DeleteResult::NotAFile:
        // Gone behind our back, or never a file of ours: out of the count,
        // and the folder is listed again.
        fresh_[camera] = false;
        relistSoon_[camera] = true;
        SubtractDeleted(camera, image.bytes);
        return true;
    case DeleteResult::Failed:
    case DeleteResult::FolderRefused:
        qCDebug(lcArchive) << "could not delete" << image.stem.c_str() << deletion.status.Reason().c_str();
        return false;
    }
    return false;
}

int ArchiveKeeper::OldestAmong(const std::vector<int>& letters, std::array<bool, kCameraCount>& listed,
                               std::vector<std::pair<int, OldestImages::Image>>& passedOver, bool& restart)
{
    int64_t period = 0;
    for (int i : letters)
        period = std::max(period, periodSeconds_[i]);
    const DeletionOrder order(std::time(nullptr), period);
    int best = -1;
    for (int i : letters) {
        OldestImages& oldest = oldest_[i];
        while (true) {
            if (oldest.Empty()) {
                if (listed[i])
                    break;
                listed[i] = true;
                const Listing listing = ListFolder(i, Purpose::Refill, NamesToHold(0, 0));
                if (listing == Listing::Quit || listing == Listing::Restart) {
                    restart = true;
                    return -1;
                }
                continue;
            }
            // Only names the image thread makes for this instance and letter
            // are ever deleted for room: any other is someone else's file.
            const OldestImages::Image& head = oldest.PeekOldest();
            if (ArchiveFileStamp(head.stem + suffix_[i], suffix_[i]).Valid())
                break;
            passedOver.emplace_back(i, oldest.TakeOldest());
        }
        if (oldest.Empty())
            continue;
        const OldestImages::Image& head = oldest.PeekOldest();
        if (best < 0) {
            best = i;
            continue;
        }
        const OldestImages::Image& current = oldest_[best].PeekOldest();
        if (order.Before(head.key, head.stem, current.key, current.stem))
            best = i;
    }
    return best;
}

ArchiveKeeper::Pass ArchiveKeeper::KeepCaps()
{
    for (int i = 0; i < kCameraCount; ++i) {
        if (!Handled(i) || maxArchiveMB_[i] == 0)
            continue;
        const int64_t cap = int64_t(maxArchiveMB_[i]) * kMB;
        int64_t bytes = 0;
        std::array<bool, kCameraCount> listed{};
        std::vector<std::pair<int, OldestImages::Image>> passedOver;
        bool restart = false;
        while (!quitRequested_ && !settingsChanged_ && counters_.ReadBytes(i, bytes) && bytes > cap) {
            const int camera = OldestAmong({i}, listed, passedOver, restart);
            if (camera < 0)
                break;
            OldestImages::Image image = oldest_[camera].TakeOldest();
            if (!DeleteChosen(camera, image))
                passedOver.emplace_back(camera, std::move(image));
            dispatch_();
        }
        for (auto it = passedOver.rbegin(); it != passedOver.rend(); ++it)
            oldest_[it->first].PutBack(std::move(it->second));
        if (quitRequested_)
            return Pass::Quit;
        if (restart || settingsChanged_)
            break;
    }
    return Pass::Done;
}

ArchiveKeeper::Pass ArchiveKeeper::KeepFloor(SpaceGroup& group, bool& deleted)
{
    const auto below = [&group] {
        return group.floorBytes > 0 && group.FreeNow() < int64_t(group.floorBytes);
    };
    int64_t freedForRoom = 0;
    const auto roomShort = [&] { return freedForRoom < group.roomWanted; };
    std::array<bool, kCameraCount> listed{};
    std::vector<std::pair<int, OldestImages::Image>> passedOver;
    bool nothingLeft = false;
    bool restart = false;
    while ((below() || roomShort()) && !quitRequested_ && !settingsChanged_) {
        const int camera = OldestAmong(group.letters, listed, passedOver, restart);
        if (restart)
            break;
        if (camera < 0) {
            nothingLeft = true;
            break;
        }
        OldestImages::Image image = oldest_[camera].TakeOldest();
        const int64_t freedBefore = group.freedSinceRead;
        if (DeleteChosen(camera, image)) {
            deleted = true;
            freedForRoom += group.freedSinceRead - freedBefore;
        } else {
            passedOver.emplace_back(camera, std::move(image));
        }
        dispatch_();
    }
    for (auto it = passedOver.rbegin(); it != passedOver.rend(); ++it)
        oldest_[it->first].PutBack(std::move(it->second));
    if (quitRequested_)
        return Pass::Quit;

    if (nothingLeft && (below() || roomShort())) {
        // Sure of it before the cameras stop recording: the disk is looked at again.
        if (now_() - group.readAt >= kSpaceReadEvery)
            ReadSpace(group);
        if (below() || roomShort())
            group.held = true;
    }
    group.roomWanted = 0; // made, or none can be: a save that fails again asks again
    return Pass::Done;
}

ArchiveKeeper::Pass ArchiveKeeper::KeepStorage()
{
    if (!haveSnapshot_)
        return Pass::Done;
    const uint32_t wanted = settings_.Room.wanted.exchange(0);
    RefreshSpace(wanted != 0);
    NoteWritten();

    for (int i = 0; i < kCameraCount; ++i) {
        uint64_t device = 0;
        if (wanted & StorageRoom::ArchiveBit(i))
            device = letterDevice_[i];
        const auto archive = groups_.find(device);
        const auto staticFile = (wanted & StorageRoom::StaticBit(i)) ? groups_.find(IdentifyFolder(staticFolder_[i]).device)
                                                                     : groups_.end();
        uint32_t lastBytes = 0;
        if (archive == groups_.end() && staticFile == groups_.end())
            continue;
        counters_.ReadLastImageBytes(i, lastBytes);
        const int64_t room = std::max<int64_t>(2 * int64_t(lastBytes), kLeastRoom);
        if (archive != groups_.end())
            archive->second.roomWanted += room;
        if (staticFile != groups_.end())
            staticFile->second.roomWanted += room;
    }

    if (KeepCaps() == Pass::Quit)
        return Pass::Quit;
    bool floorDeleted = false;
    std::string floorDetail;
    for (auto& [device, group] : groups_) {
        bool deleted = false;
        if (KeepFloor(group, deleted) == Pass::Quit)
            return Pass::Quit;
        if (deleted && floorDetail.empty())
            floorDetail = "keeping " + FormatSize(double(group.floorBytes)) + " free on the disk of " + group.folder;
        floorDeleted = floorDeleted || deleted;
        if (settingsChanged_)
            break;
    }

    const auto now = now_();
    if (floorDeleted)
        floorDeletedAt_ = now;
    if (floorDeleted && !floorDeleting_) {
        floorDeleting_ = true;
        display_.SetStorageFloor(true, floorDetail);
    } else if (!floorDeleted && floorDeleting_ && now - floorDeletedAt_ >= kFloorQuiet) {
        floorDeleting_ = false;
        display_.SetStorageFloor(false, {});
    }
    ShowSpace();
    return Pass::Done;
}

void ArchiveKeeper::Hold(int camera, const std::string& reason)
{
    settings_.Room.archiveHeld[camera].store(!reason.empty());
    if (diskFull_[camera] == reason)
        return;
    diskFull_[camera] = reason;
    display_.SetFault(camera, Fault::DiskFull, reason);
}

void ArchiveKeeper::ShowSpace()
{
    for (int i = 0; i < kCameraCount; ++i) {
        const auto group = groups_.find(letterDevice_[i]);
        const bool found = Handled(i) && group != groups_.end();
        Hold(i, found && group->second.held ? DiskFullReason(group->second.FreeNow(), group->second.floorBytes)
                                            : std::string());
        if (!found)
            continue;
        const SpaceGroup& space = group->second;
        std::string text = DescribeSpace(uint64_t(std::max<int64_t>(space.FreeNow(), 0)), space.floorBytes,
                                         space.bytesPerSecond);
        if (text != spaceShown_[i]) {
            display_.SetLabelToolTip(i, Label::Forecast, text);
            spaceShown_[i] = std::move(text);
        }
    }
}

} // namespace vistrel
