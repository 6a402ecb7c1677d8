// SPDX-License-Identifier: GPL-3.0-or-later
#include "archive/archive_keeper.h"

#include "archive/archive_folder.h"
#include "archive/archive_log.h"
#include "archive/free_space.h"
#include "common/text_format.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <vector>

namespace vistrel {

namespace {

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

// A path spelt in other letter case is still the same archive where the file
// system ignores case; on a case-sensitive one it is another folder and must
// be counted afresh, or the old folder's counters would prune the new one.
bool SameFolderOtherCase(const std::string& before, const std::string& after)
{
    if (Lower(before) != Lower(after))
        return false;
    std::error_code error;
    return std::filesystem::equivalent(before.empty() ? "/" : before, after.empty() ? "/" : after, error) && !error;
}

// Keeps `entry` among the newest `capacity` images of a listing, newest first.
void KeepNewest(std::vector<ArchiveEntry>& newest, const ArchiveEntry& entry, const DeletionOrder& order,
                size_t capacity)
{
    const auto newer = [&order](const ArchiveEntry& a, const ArchiveEntry& b) {
        return order.Before(b.key, b.name, a.key, a.name);
    };
    if (newest.size() == capacity && !newer(entry, newest.back()))
        return;
    newest.insert(std::upper_bound(newest.begin(), newest.end(), entry, newer), entry);
    if (newest.size() > capacity)
        newest.pop_back();
}

} // namespace

ArchiveKeeper::ArchiveKeeper(InstanceSettings& settings, IRecorderDisplay& display, std::function<void()> dispatch,
                             std::chrono::milliseconds lockWait, SteadyNow now)
    : settings_(settings)
    , display_(display)
    , dispatch_(std::move(dispatch))
    , lockWait_(lockWait)
    , now_(now ? std::move(now) : SteadyNow([] { return std::chrono::steady_clock::now(); }))
    , counters_(settings, lockWait)
{
}

bool ArchiveKeeper::TakeSettingsSnapshot()
{
    std::array<std::string, kCameraCount> paths;
    std::array<int32_t, kCameraCount> loaded{}, days{}, hours{}, minutes{};
    int32_t muxSpeed = 0, saveEvery = 0;
    {
        TimedLock lock(settings_.SettingsLock, lockWait_);
        if (!lock) {
            qCDebug(lcArchive) << "settings lock not obtained; snapshot retried at the next tick";
            settingsChanged_ = true;
            return false;
        }
        muxEnabled_ = settings_.EnableMux != 0;
        muxSpeed = settings_.MuxerSpeed;
        saveEvery = settings_.SaveEvery;
        instance_ = settings_.InstanceNumber;
        muxInputs_ = settings_.MuxerInputs;
        paths = settings_.ArchivePath;
        loaded = settings_.LoadedArchiveCount;
        days = settings_.Days;
        hours = settings_.Hours;
        minutes = settings_.Minutes;
        keepFreeMB_ = settings_.KeepFreeMB;
        maxArchiveMB_ = settings_.MaxArchiveMB;
        for (int i = 0; i < kCameraCount; ++i) {
            const std::string& file = settings_.StaticPathFile[i];
            staticFolder_[i] = file.substr(0, file.rfind('/') + 1);
        }
    }

    const auto inputsInUse = std::count_if(muxInputs_.begin(), muxInputs_.end(), [](int32_t v) { return v != 0; });
    for (int i = 0; i < kCameraCount; ++i) {
        if (paths[i] != archivePath_[i]) {
            if (!SameFolderOtherCase(archivePath_[i], paths[i]))
                counted_[i] = false;
            oldest_[i].Clear();
            fresh_[i] = false;
            archivePath_[i] = std::move(paths[i]);
        }
        suffix_[i] = ArchiveSuffix(instance_, i);
        expectedCount_[i] = std::max(loaded[i], 1);
    }

    // Each camera gets one frame per full multiplexer cycle. Multiplexing with
    // no input in use runs as single-input mode on camera A, as the image
    // thread runs it, and both threads pace by the same shortest interval.
    const int64_t interval = muxEnabled_ && inputsInUse > 0 ? int64_t(FrameIntervalMs(muxSpeed)) * inputsInUse
                                                           : FrameIntervalMs(saveEvery);
    intervalMs_ = int32_t(std::min<int64_t>(interval, INT32_MAX));

    for (int i = 0; i < kCameraCount; ++i) {
        const int64_t seconds = int64_t(days[i]) * 86400 + int64_t(hours[i]) * 3600 + int64_t(minutes[i]) * 60;
        periodSeconds_[i] = std::max<int64_t>(seconds, 0);
        const double images = std::ceil(double(periodSeconds_[i]) / (intervalMs_ * 0.001));
        maxImageCount_[i] = int32_t(std::min(images, double(INT32_MAX)));
    }

    haveSnapshot_ = true;
    settingsChanged_ = false;
    return true;
}

bool ArchiveKeeper::Handled(int camera) const
{
    return camera == 0 || (muxEnabled_ && muxInputs_[camera] != 0);
}

ArchiveKeeper::Pass ArchiveKeeper::CountArchives()
{
    if (!haveSnapshot_)
        return Pass::Done;
    countRetry_ = false;

    for (int i = 0; i < kCameraCount; ++i) {
        if (!Handled(i) || counted_[i])
            continue;
        if (quitRequested_)
            return Pass::Quit;
        display_.SetMeterRange(i, Meter::Archive, 0, expectedCount_[i]);
        display_.SetMeterPos(i, Meter::Archive, 0);
        switch (ListFolder(i, Purpose::Count, NamesToHold(expectedCount_[i], 0))) {
        case Listing::Stored:
            counted_[i] = true;
            break;
        case Listing::Skipped:
            qCDebug(lcArchive) << "counter lock not obtained; camera" << i << "counted again at the next tick";
            countRetry_ = true;
            break;
        case Listing::Quit:
            return Pass::Quit;
        case Listing::Restart:
            // Either way this camera's partial count is dropped. Cameras
            // already counted stay counted unless their path changed.
            if (!TakeSettingsSnapshot())
                return Pass::Done;
            i = -1;
            break;
        }
    }
    return Pass::Done;
}

// An image of this run's image thread that a counter did not hold when the
// listing began: the image thread adds it, or has added it since. Its keys
// rise with the clock, so these are the ones after the last the counter held
// (after the first of this run while it held none) up to the last saved.
bool ArchiveKeeper::HeldLater(int camera, ArchiveStamp key, ArchiveStamp heldThrough) const
{
    if (!SavedThisRun(camera, key))
        return false;
    return !heldThrough.Valid() || key > heldThrough;
}

bool ArchiveKeeper::SavedThisRun(int camera, ArchiveStamp key) const
{
    const ArchiveStamp first = settings_.ArchiveFirstSavedStamp[camera].load();
    return key.Valid() && first.Valid() && key >= first && key <= settings_.ArchiveLastSavedStamp[camera].load();
}

size_t ArchiveKeeper::NamesToHold(int32_t count, int32_t surplus)
{
    const size_t share = size_t(std::max(count, 0)) / kNamesPerHeld;
    return std::min(std::max({kWindowNames, share, size_t(std::max(surplus, 0))}), kMaxHeldNames);
}

ArchiveKeeper::Listing ArchiveKeeper::ListFolder(int camera, Purpose purpose, size_t names)
{
    const bool sizes = purpose != Purpose::Refill;
    bytesSeenValid_[camera] = false; // the listing corrects the bytes: no write of the image thread
    // Where the counters stand as the listing starts, with the archive
    // thread's own subtractions settled.
    int32_t countAtStart = 0;
    int64_t bytesAtStart = 0;
    ArchiveStamp countThrough, bytesThrough;
    if (!counters_.ReadCount(camera, countAtStart, &countThrough)
        || !counters_.ReadBytes(camera, bytesAtStart, &bytesThrough))
        return Listing::Skipped;

    ++listings_;
    const auto started = now_();
    const FolderId folder = IdentifyFolder(archivePath_[camera]);
    const uint32_t folderMade = settings_.ArchiveFolderMade[camera].load();
    const DeletionOrder order(std::time(nullptr), periodSeconds_[camera]);
    OldestImages& oldest = oldest_[camera];
    oldest.Begin(order, names);
    ArchiveFolderReader reader(archivePath_[camera], suffix_[camera], sizes);
    int32_t count = 0, countLater = 0;
    int64_t bytes = 0, bytesLater = 0;
    ArchiveEntry entry;
    std::vector<ArchiveEntry> newest; // but this run's own, newest first
    while (reader.Next(entry)) {
        switch (entry.kind) {
        case ArchiveEntry::Kind::Leftover:
        case ArchiveEntry::Kind::Empty:
            // A save cut short by a crash or a power cut: no image to keep.
            if (!reader.Remove(entry))
                qCDebug(lcArchive) << "could not remove" << entry.name.c_str();
            break;
        case ArchiveEntry::Kind::Image:
            ++count;
            bytes += entry.bytes;
            countLater += HeldLater(camera, entry.key, countThrough) ? 1 : 0;
            bytesLater += HeldLater(camera, entry.key, bytesThrough) ? entry.bytes : 0;
            oldest.Offer(entry, suffix_[camera].size());
            if (!SavedThisRun(camera, entry.key))
                KeepNewest(newest, entry, order, kNewestChecked);
            break;
        }
        if (purpose == Purpose::Count) {
            display_.SetMeterPos(camera, Meter::Archive, count);
            display_.SetMeterText(camera, Meter::Archive,
                                  StringPrintf("Reading Archive %d of %d", count, expectedCount_[camera]));
        }
        dispatch_();
        if (quitRequested_ || settingsChanged_) {
            oldest.Abandon();
            return quitRequested_ ? Listing::Quit : Listing::Restart;
        }
    }
    oldest.Finish();
    if (purpose == Purpose::Count) {
        // A count pass comes at start, when the newest images may be what a
        // power cut left of them.
        std::vector<ArchiveEntry> whole;
        for (ArchiveEntry& image : newest) {
            if (!reader.Torn(image) || !reader.Remove(image)) {
                whole.push_back(std::move(image));
                continue;
            }
            qCDebug(lcArchive) << "removed the torn image" << image.name.c_str();
            --count;
            bytes -= image.bytes;
            oldest.Forget(std::string_view(image.name).substr(0, image.name.size() - suffix_[camera].size()));
        }
        newest.swap(whole);
    }
    fresh_[camera] = true;
    listedFolder_[camera] = folder;
    listedFolderMade_[camera] = folderMade;
    // Files the counters did not know of, or knew of and are gone: others
    // may be going still. A count pass is the first look; it finds no drift.
    const bool drifted = purpose != Purpose::Count && count - countLater != countAtStart;
    if (sizes) {
        relistSoon_[camera] = false;
        settling_[camera] = drifted;
        listedAt_[camera] = now_();
        listingTook_[camera] = listedAt_[camera] - started;
    } else if (drifted) {
        settling_[camera] = true; // and the sizes are to be read again
    }

    // What the image thread added while the folder was read stays added.
    // A correction whose lock is busy is made at the next use of the
    // counters; the count pass still counts the camera again.
    bool stored = counters_.Add(camera, count - countLater - countAtStart,
                                sizes ? bytes - bytesLater - bytesAtStart : 0);
    // Once the image thread has saved, the size it set is the newest.
    if (sizes && !settings_.ArchiveFirstSavedStamp[camera].load().Valid()
        && !counters_.TrySetLastImageBytes(camera, newest.empty() ? 0 : uint32_t(newest.front().bytes)))
        stored = false;
    return stored ? Listing::Stored : Listing::Skipped;
}

bool ArchiveKeeper::RelistDue(int camera) const
{
    if (relistSoon_[camera])
        return true;
    if (listedAt_[camera] == std::chrono::steady_clock::time_point{})
        return false;
    // Deleted, or replaced by another (which may reuse its inode number).
    if (settings_.ArchiveFolderMade[camera].load() != listedFolderMade_[camera]
        || IdentifyFolder(archivePath_[camera]) != listedFolder_[camera])
        return true;
    const auto since = now_() - listedAt_[camera];
    const auto took = listingTook_[camera];
    if (settling_[camera] && since >= std::max<std::chrono::steady_clock::duration>(kSettleEvery, 10 * took))
        return true;
    return since >= std::max<std::chrono::steady_clock::duration>(kRelistEvery, kRelistShare * took);
}

// Deletions whose subtraction had to wait are settled first.
bool ArchiveKeeper::ReadCounters(int camera, Counters& counters)
{
    return counters_.ReadCount(camera, counters.count) && counters_.ReadBytes(camera, counters.bytes)
        && counters_.ReadLastImageBytes(camera, counters.lastBytes);
}

void ArchiveKeeper::SubtractDeleted(int camera, int64_t bytes)
{
    counters_.Add(camera, -1, -bytes);
    bytesSeen_[camera] -= bytes;
}

void ArchiveKeeper::ShowArchive(int camera, const Counters& counters)
{
    const int32_t maxImages = maxImageCount_[camera];
    const double forecast = double(maxImages) * double(counters.lastBytes);
    display_.SetLabelText(camera, Label::Forecast,
                          StringPrintf("Forecast Disk Usage: %s, Used so far: %s", FormatSize(forecast).c_str(),
                                 FormatSize(double(counters.bytes)).c_str()));
    display_.SetMeterText(camera, Meter::Archive,
                          StringPrintf("Archive %d of %d   [%s]", counters.count, maxImages,
                                 FormatDuration(intervalMs_, counters.count).c_str()));
    display_.SetMeterRange(camera, Meter::Archive, 0, std::max(1, maxImages));
    display_.SetMeterPos(camera, Meter::Archive, counters.count);
}

ArchiveKeeper::Pass ArchiveKeeper::PruneArchives()
{
    if (!haveSnapshot_)
        return Pass::Done;

    for (int i = 0; i < kCameraCount; ++i) {
        if (!Handled(i))
            continue;
        Counters counters;
        if (!ReadCounters(i, counters)) {
            qCDebug(lcArchive) << "counter lock not obtained; camera" << i << "skipped this tick";
            continue;
        }
        const int32_t maxImages = maxImageCount_[i];
        // A large surplus may come of images removed behind our back, which
        // the counters still hold: the folder is listed before deleting.
        if (RelistDue(i) || (counters.count - maxImages > 5 && !fresh_[i])) {
            const Listing listing
                = ListFolder(i, Purpose::Check, NamesToHold(counters.count, counters.count - maxImages));
            if (listing == Listing::Quit)
                return Pass::Quit;
            if (listing == Listing::Restart)
                continue; // the new settings apply from the next tick
            if (!ReadCounters(i, counters))
                continue;
        }

        ShowArchive(i, counters);
        if (counters.count <= maxImages) {
            ReportDeleteFault(i, {});
            continue;
        }
        const int32_t surplus = counters.count - maxImages;
        const bool resize = surplus > 5;
        if (resize) {
            display_.SetMeterPos(i, Meter::Archive, 0);
            display_.SetMeterRange(i, Meter::Archive, 0, surplus);
        }
        std::string failure;
        if (DeleteSurplus(i, surplus, resize, failure) == Pass::Quit)
            return Pass::Quit;
        ReportDeleteFault(i, failure);
    }
    return KeepStorage();
}

void ArchiveKeeper::ReportDeleteFault(int camera, const std::string& reason)
{
    if (deleteFault_[camera] == reason)
        return;
    deleteFault_[camera] = reason;
    display_.SetFault(camera, Fault::ArchiveDelete, reason);
}

ArchiveKeeper::Pass ArchiveKeeper::DeleteSurplus(int camera, int32_t surplus, bool resize, std::string& failure)
{
    OldestImages& oldest = oldest_[camera];
    std::vector<OldestImages::Image> failed; // tried first again at the next tick
    const int32_t maxImages = maxImageCount_[camera];
    int32_t remaining = surplus;
    bool listed = false;
    bool deletedSinceListing = false;
    bool folderRefused = false;
    Pass result = Pass::Done;

    // A folder that refuses deletions ends the pass at once: trying every
    // other image in it would cost a look at each one, five times a second.
    while (!quitRequested_ && remaining > 0 && !folderRefused) {
        if (oldest.Empty()) {
            // Listed again only when some of the last listing's names went:
            // images that would not go wait for the next tick.
            if (listed && !deletedSinceListing)
                break;
            const Listing listing
                = ListFolder(camera, Purpose::Refill, NamesToHold(maxImages + remaining, resize ? remaining : 0));
            if (listing == Listing::Quit) {
                result = Pass::Quit;
                break;
            }
            if (listing == Listing::Restart)
                break; // the next camera; the new settings apply from the next tick
            listed = true;
            deletedSinceListing = false;
            // The listing has set the counters to what is on disk.
            Counters counters;
            if (!ReadCounters(camera, counters))
                break;
            remaining = counters.count - maxImages;
            // The listing holds the images that failed too, in their place.
            failed.clear();
            continue;
        }
        OldestImages::Image image = oldest.TakeOldest();

        if (resize) {
            display_.SetMeterPos(camera, Meter::Archive, std::max(surplus - remaining, 0));
            display_.SetMeterText(camera, Meter::Archive,
                                  StringPrintf("Resizing Archive %d of %d", maxImages + remaining, maxImages));
        }
        const std::string name = image.stem + suffix_[camera];
        const ArchiveDeletion deletion = DeleteArchiveFile(archivePath_[camera], name);
        switch (deletion.result) {
        case DeleteResult::Deleted:
            --remaining;
            deletedSinceListing = true;
            fresh_[camera] = false;
            SubtractDeleted(camera, deletion.bytes);
            NoteFreed(camera, deletion);
            break;
        case DeleteResult::Vanished:
        case DeleteResult::NotAFile:
            // Removed behind our back (a folder or link may have taken its
            // name, never to be deleted): it leaves the count all the same, and
            // the folder is listed again, sizes and all, for others that went
            // with it (and for its size, when the name came without one).
            --remaining;
            deletedSinceListing = true;
            fresh_[camera] = false;
            relistSoon_[camera] = true;
            SubtractDeleted(camera, image.bytes);
            break;
        case DeleteResult::FolderRefused:
            folderRefused = true;
            [[fallthrough]];
        case DeleteResult::Failed:
            failure = "cannot delete old archive images in " + archivePath_[camera] + ": " + deletion.status.Reason();
            qCDebug(lcArchive) << "could not delete" << name.c_str();
            failed.push_back(std::move(image));
            break;
        }

        dispatch_();
        if (quitRequested_) {
            result = Pass::Quit;
            break;
        }
        if (settingsChanged_)
            break; // the next camera; the new settings apply from the next tick
    }

    while (!failed.empty()) {
        oldest.PutBack(std::move(failed.back()));
        failed.pop_back();
    }
    return result;
}

} // namespace vistrel
