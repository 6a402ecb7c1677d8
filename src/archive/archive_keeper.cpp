#include "archive/archive_keeper.h"

#include "archive/archive_folder.h"
#include "archive/archive_format.h"

#include <QLoggingCategory>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <unordered_set>

namespace vistrel {

namespace {

Q_LOGGING_CATEGORY(lcArchive, "vistrel.archive", QtWarningMsg)

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

template <typename... Args>
std::string Format(const char* format, Args... args)
{
    char text[256];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

} // namespace

ArchiveKeeper::ArchiveKeeper(InstanceSettings& settings, IRecorderDisplay& display, std::function<void()> dispatch,
                             std::chrono::milliseconds lockWait)
    : settings_(settings)
    , display_(display)
    , dispatch_(std::move(dispatch))
    , lockWait_(lockWait)
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
    }

    const auto inputsInUse = std::count_if(muxInputs_.begin(), muxInputs_.end(), [](int32_t v) { return v != 0; });
    for (int i = 0; i < kCameraCount; ++i) {
        if (paths[i] != archivePath_[i]) {
            if (!SameFolderOtherCase(archivePath_[i], paths[i]))
                counted_[i] = false;
            kept_[i].clear();
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
        const double images = std::ceil(double(std::max<int64_t>(seconds, 0)) / (intervalMs_ * 0.001));
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
        switch (CountCamera(i)) {
        case CameraCount::Stored:
            break;
        case CameraCount::Quit:
            return Pass::Quit;
        case CameraCount::Restart:
            // Cameras already counted stay counted unless their path changed.
            if (!TakeSettingsSnapshot())
                return Pass::Done;
            i = -1;
            break;
        }
    }
    return Pass::Done;
}

ArchiveKeeper::CameraCount ArchiveKeeper::CountCamera(int camera)
{
    if (quitRequested_)
        return CameraCount::Quit;
    display_.SetMeterRange(camera, Meter::Archive, 0, expectedCount_[camera]);
    display_.SetMeterPos(camera, Meter::Archive, 0);

    ++listings_;
    std::vector<ArchiveEntry> entries = ListArchive(archivePath_[camera], suffix_[camera], true, std::time(nullptr));
    int32_t count = 0;
    int64_t total = 0;
    uint32_t lastBytes = 0;
    for (const ArchiveEntry& entry : entries) {
        ++count;
        display_.SetMeterPos(camera, Meter::Archive, count);
        display_.SetMeterText(camera, Meter::Archive,
                              Format("Reading Archive %d of %d", count, expectedCount_[camera]));
        if (!entry.folder) {
            lastBytes = uint32_t(entry.bytes);
            total += entry.bytes;
        }
        dispatch_();
        // Either way this camera's partial count is dropped.
        if (quitRequested_)
            return CameraCount::Quit;
        if (settingsChanged_)
            return CameraCount::Restart;
    }

    StoreCount(camera, count, total, lastBytes);
    // The listing just made serves the deletions that follow.
    kept_[camera].clear();
    for (ArchiveEntry& entry : entries) {
        if (!entry.folder)
            kept_[camera].push_back(std::move(entry.name));
    }
    return CameraCount::Stored;
}

void ArchiveKeeper::StoreCount(int camera, int32_t count, int64_t bytes, uint32_t lastBytes)
{
    bool stored = true;
    if (TimedLock lock(settings_.ArchiveCountLock[camera], lockWait_); lock) {
        settings_.ArchiveCount[camera] = count;
        pendingCount_[camera] = 0;
    } else {
        stored = false;
    }
    if (TimedLock lock(settings_.ArchiveBytesLock[camera], lockWait_); lock) {
        settings_.ArchiveBytes[camera] = bytes;
        pendingBytes_[camera] = 0;
    } else {
        stored = false;
    }
    if (TimedLock lock(settings_.LastImageBytesLock[camera], lockWait_); lock)
        settings_.LastImageBytes[camera] = lastBytes;
    else
        stored = false;

    counted_[camera] = stored;
    if (!stored) {
        qCDebug(lcArchive) << "counter lock not obtained; camera" << camera << "counted again at the next tick";
        countRetry_ = true;
    }
}

bool ArchiveKeeper::ReadCounters(int camera, int32_t& count, int64_t& bytes, uint32_t& lastBytes)
{
    // Deletions whose subtraction had to wait are settled first.
    if (TimedLock lock(settings_.ArchiveCountLock[camera], lockWait_); lock) {
        settings_.ArchiveCount[camera] -= pendingCount_[camera];
        pendingCount_[camera] = 0;
        count = settings_.ArchiveCount[camera];
    } else {
        return false;
    }
    if (TimedLock lock(settings_.ArchiveBytesLock[camera], lockWait_); lock) {
        settings_.ArchiveBytes[camera] -= pendingBytes_[camera];
        pendingBytes_[camera] = 0;
        bytes = settings_.ArchiveBytes[camera];
    } else {
        return false;
    }
    if (TimedLock lock(settings_.LastImageBytesLock[camera], lockWait_); lock)
        lastBytes = settings_.LastImageBytes[camera];
    else
        return false;
    return true;
}

void ArchiveKeeper::SubtractDeleted(int camera, int64_t bytes)
{
    pendingBytes_[camera] += bytes;
    if (TimedLock lock(settings_.ArchiveBytesLock[camera], lockWait_); lock) {
        settings_.ArchiveBytes[camera] -= pendingBytes_[camera];
        pendingBytes_[camera] = 0;
    }
    pendingCount_[camera] += 1;
    if (TimedLock lock(settings_.ArchiveCountLock[camera], lockWait_); lock) {
        settings_.ArchiveCount[camera] -= pendingCount_[camera];
        pendingCount_[camera] = 0;
    }
}

ArchiveKeeper::Pass ArchiveKeeper::PruneArchives()
{
    if (!haveSnapshot_)
        return Pass::Done;

    for (int i = 0; i < kCameraCount; ++i) {
        if (!Handled(i))
            continue;
        int32_t count = 0;
        int64_t bytes = 0;
        uint32_t lastBytes = 0;
        if (!ReadCounters(i, count, bytes, lastBytes)) {
            qCDebug(lcArchive) << "counter lock not obtained; camera" << i << "skipped this tick";
            continue;
        }
        const int32_t maxImages = maxImageCount_[i];

        const double forecast = double(maxImages) * double(lastBytes);
        display_.SetLabelText(i, Label::Forecast,
                              Format("Forecast Disk Usage: %s, Used so far: %s", FormatSize(forecast).c_str(),
                                     FormatSize(double(bytes)).c_str()));
        display_.SetMeterText(i, Meter::Archive,
                              Format("Archive %d of %d   [%s]", count, maxImages,
                                     FormatDuration(intervalMs_, count).c_str()));
        display_.SetMeterRange(i, Meter::Archive, 0, std::max(1, maxImages));
        display_.SetMeterPos(i, Meter::Archive, count);

        if (count <= maxImages)
            continue;
        const int32_t surplus = count - maxImages;
        const bool resize = surplus > 5;
        if (resize) {
            display_.SetMeterPos(i, Meter::Archive, 0);
            display_.SetMeterRange(i, Meter::Archive, 0, surplus);
        }
        if (DeleteSurplus(i, surplus, resize) == Pass::Quit)
            return Pass::Quit;
    }
    return Pass::Done;
}

ArchiveKeeper::Pass ArchiveKeeper::DeleteSurplus(int camera, int32_t surplus, bool resize)
{
    std::deque<std::string>& kept = kept_[camera];
    std::deque<std::string> failed; // tried first again at the next tick
    const int32_t maxImages = maxImageCount_[camera];
    int32_t remaining = surplus;
    bool listed = false;
    bool folderRefused = false;
    Pass result = Pass::Done;

    // A folder that refuses deletions ends the pass at once: trying every
    // other image in it would cost a look at each one, five times a second.
    while (!quitRequested_ && remaining > 0 && !folderRefused) {
        if (kept.empty()) {
            // Once per pass, as a fresh listing each tick would see it.
            if (listed)
                break;
            listed = true;
            ListForDeletion(camera, failed);
            if (kept.empty())
                break;
        }
        std::string name = std::move(kept.front());
        kept.pop_front();

        if (resize) {
            display_.SetMeterPos(camera, Meter::Archive, surplus - remaining);
            display_.SetMeterText(camera, Meter::Archive,
                                  Format("Resizing Archive %d of %d", maxImages + remaining, maxImages));
        }
        int64_t bytes = 0;
        switch (DeleteArchiveFile(archivePath_[camera], name, bytes)) {
        case DeleteResult::Deleted:
            --remaining;
            SubtractDeleted(camera, bytes);
            break;
        case DeleteResult::FolderRefused:
            folderRefused = true;
            [[fallthrough]];
        case DeleteResult::Failed:
            qCDebug(lcArchive) << "could not delete" << name.c_str();
            failed.push_back(std::move(name));
            break;
        case DeleteResult::Vanished:
        case DeleteResult::NotAFile:
            break; // nothing was deleted, nothing to count
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
        kept.push_front(std::move(failed.back()));
        failed.pop_back();
    }
    return result;
}

void ArchiveKeeper::ListForDeletion(int camera, const std::deque<std::string>& setAside)
{
    ++listings_;
    std::vector<ArchiveEntry> entries = ListArchive(archivePath_[camera], suffix_[camera], false, std::time(nullptr));
    std::unordered_set<std::string_view> skip(setAside.begin(), setAside.end());
    std::deque<std::string>& kept = kept_[camera];
    for (ArchiveEntry& entry : entries) {
        if (!entry.folder && !skip.contains(entry.name))
            kept.push_back(std::move(entry.name));
    }
}

} // namespace vistrel
