// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "settings/archive_counters.h"
#include "settings/instance_settings.h"
#include "archive/oldest_images.h"
#include "common/recorder_display.h"
#include "common/timed_lock.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace vistrel {

// Counts every camera's archive, deletes the oldest images beyond each
// camera's retention count, and shows the archive bar and forecast line.
// Lives on the archive thread, which alone calls it (CArchiveThread drives
// it; tests drive it directly). It reads the settings only inside
// TakeSettingsSnapshot and touches each archive counter only under that
// counter's lock, never holding two locks at once.
//
// Every listing of a folder sets the counters to what is on disk (the
// listings that only refill the names to delete set the count alone): the
// files it saw, less the image thread's images it saw that the counters did
// not hold yet, plus all the image thread added meanwhile. Between listings
// a name that has vanished leaves the count as a deleted one does.
class ArchiveKeeper {
public:
    enum class Pass { Done, Quit };
    using SteadyNow = std::function<std::chrono::steady_clock::time_point()>;

    // `dispatch` delivers the messages waiting in the thread's queue; it is
    // called after every file of a pass, so a stop or a settings change can
    // arrive (through RequestQuit and NotifySettingsChanged) in mid-pass.
    // `now` is the clock of the regular listings (steady_clock when empty).
    ArchiveKeeper(InstanceSettings& settings, IRecorderDisplay& display, std::function<void()> dispatch,
                  std::chrono::milliseconds lockWait = kLockWait, SteadyNow now = {});

    void RequestQuit() { quitRequested_ = true; }
    void NotifySettingsChanged() { settingsChanged_ = true; }
    bool QuitRequested() const { return quitRequested_; }
    bool SettingsChanged() const { return settingsChanged_; }
    // The next tick must snapshot and count: the settings changed, or a
    // snapshot or count could not get its lock in time.
    bool CountDue() const { return settingsChanged_ || countRetry_; }

    // Copies what the passes use from the settings. False when SettingsLock
    // was not obtained in time; the copy is then retried at the next tick.
    bool TakeSettingsSnapshot();
    // Counts the handled cameras not counted since their path last changed.
    // Quit: a stop arrived; the thread must end and nothing of the camera
    // being counted was stored.
    Pass CountArchives();
    // Shows each handled camera's bar and forecast and deletes its surplus,
    // oldest first, then keeps the caps and the storage floor
    // (KeepStorage). Quit: a stop arrived in mid-pass.
    Pass PruneArchives();
    // Brings each camera over its MaxArchiveMB under it, and keeps KeepFreeMB
    // free on every file system this instance records to, deleting the
    // instance's oldest images there first (of every letter whose folder is
    // on it), and makes the room the image thread asked for. Where nothing of
    // ours is left to delete and the disk stays below its floor, the cameras
    // recording there are held (not recording, said as DiskFull) until a
    // look at the disk finds room again.
    Pass KeepStorage();

    // What the last snapshot made of the settings.
    int32_t IntervalMs() const { return intervalMs_; }
    int32_t MaxImageCount(int camera) const { return maxImageCount_[camera]; }
    int32_t ExpectedCount(int camera) const { return expectedCount_[camera]; }
    bool Counted(int camera) const { return counted_[camera]; }
    // Folder listings made so far; the steady state makes one each time the
    // held names run out, and one every ten minutes or so to check the counters.
    int64_t ListingCount() const { return listings_; }
    // Names of the last listing still held for deletion.
    size_t HeldNames(int camera) const { return oldest_[camera].Size(); }

    // The names one listing keeps for deletion: kWindowNames, or one in
    // kNamesPerHeld of the archive where that is more, up to kMaxHeldNames
    // (about 3 MB, reached at two million images); so memory stays bounded
    // while the listings that refill them cost a few entries per deletion.
    // A resize (a surplus of more than five) holds as many as it deletes,
    // within the same bound.
    static constexpr size_t kWindowNames = 4096;
    static constexpr size_t kNamesPerHeld = 32;
    static constexpr size_t kMaxHeldNames = 65536;
    // Each camera's folder is listed again this often, or after a thousand
    // times as long as its last listing took where that is longer (at most
    // a thousandth of a core: a recorder saving once a second must stay
    // light), so that images removed behind the recorder's back leave the
    // count. The oldest images, the usual ones to go, are noticed at once
    // by the deletions that find them gone.
    static constexpr std::chrono::seconds kRelistEvery{600};
    static constexpr int kRelistShare = 1000;
    // While files come and go behind its back (someone removing a day of
    // images one by one), a folder is listed again this often, or after ten
    // times as long as its last listing took where that is longer.
    static constexpr std::chrono::seconds kSettleEvery{2};
    // A count pass looks at the ends of this many of the newest images (but
    // this run's own, which were whole when renamed into place): after a
    // power cut, images renamed into place before their data reached the
    // disk are empty or torn, and are removed.
    static constexpr size_t kNewestChecked = 10;
    // The file systems are looked at (statfs) at most this often; between
    // looks their free space is worked out from what was written and deleted.
    static constexpr std::chrono::milliseconds kSpaceReadEvery{1000};
    // The floor is said to stop deleting beyond the retention once it has
    // deleted nothing for this long.
    static constexpr std::chrono::seconds kFloorQuiet{10};

private:
    enum class Listing { Stored, Quit, Restart, Skipped };
    enum class Purpose {
        Count,  // the count pass: progress shown, sizes read
        Check,  // counters checked against the folder: sizes read
        Refill, // names to delete: what the listing tells, bytes left alone
    };
    struct Counters {
        int32_t count = 0;
        int64_t bytes = 0;
        uint32_t lastBytes = 0;
    };

    bool Handled(int camera) const;
    static size_t NamesToHold(int32_t count, int32_t surplus);
    Listing ListFolder(int camera, Purpose purpose, size_t names);
    bool HeldLater(int camera, ArchiveStamp key, ArchiveStamp heldThrough) const;
    bool SavedThisRun(int camera, ArchiveStamp key) const;
    bool RelistDue(int camera) const;
    bool ReadCounters(int camera, Counters& counters);
    void ShowArchive(int camera, const Counters& counters);
    void SubtractDeleted(int camera, int64_t bytes);
    // `failure` gets why a deletion failed; it stays empty when none did.
    Pass DeleteSurplus(int camera, int32_t surplus, bool resize, std::string& failure);
    void ReportDeleteFault(int camera, const std::string& reason);

    // One file system this instance records to, and what the storage floor
    // knows of it.
    struct SpaceGroup {
        std::string folder;            // an archive folder on it, for statfs
        std::vector<int> letters;      // every letter whose archive folder is on it
        bool recorded = false;         // a handled camera records there
        uint64_t totalBytes = 0;
        uint64_t floorBytes = 0;
        uint64_t freeAtRead = 0;       // at the last statfs
        int64_t writtenSinceRead = 0;  // archive bytes the image thread added since
        int64_t freedSinceRead = 0;    // bytes our deletions gave back since
        std::chrono::steady_clock::time_point readAt;
        int64_t roomWanted = 0;        // bytes the image thread's failed saves need
        bool held = false;
        // The write rate over the last minute or so.
        int64_t windowBytes = 0;
        std::chrono::steady_clock::time_point windowStart;
        double bytesPerSecond = 0;
        bool seen = false;             // found at the last refresh

        int64_t FreeNow() const { return int64_t(freeAtRead) - writtenSinceRead + freedSinceRead; }
    };
    using Groups = std::map<uint64_t, SpaceGroup>; // by device
    // Reads every file system again (statfs) when `force` or a second has passed.
    void RefreshSpace(bool force);
    void ReadSpace(SpaceGroup& group);
    void NoteWritten();
    void NoteFreed(int camera, const ArchiveDeletion& deletion);
    // Deletes one image the floor or a cap chose; false when it would not go.
    bool DeleteChosen(int camera, const OldestImages::Image& image);
    // The camera of the oldest image of ours among `letters`, or -1 when none is left.
    int OldestAmong(const std::vector<int>& letters, std::array<bool, kCameraCount>& listed,
                    std::vector<std::pair<int, OldestImages::Image>>& passedOver, bool& restart);
    Pass KeepCaps();
    Pass KeepFloor(SpaceGroup& group, bool& deleted);
    void Hold(int camera, const std::string& reason);
    void ShowSpace();

    InstanceSettings& settings_;
    IRecorderDisplay& display_;
    const std::function<void()> dispatch_;
    const std::chrono::milliseconds lockWait_;
    const SteadyNow now_;
    // Deletions whose subtraction found a lock busy are subtracted at the next use.
    ArchiveCounters counters_;

    // Set by the thread's message handlers, read by the passes; one thread only.
    bool quitRequested_ = false;
    bool settingsChanged_ = false;
    bool countRetry_ = false;

    // The snapshot.
    bool haveSnapshot_ = false;
    bool muxEnabled_ = false;
    int32_t instance_ = 1;
    int32_t intervalMs_ = 1000;
    std::array<int32_t, kCameraCount> muxInputs_{};
    std::array<int32_t, kCameraCount> expectedCount_{};
    std::array<int32_t, kCameraCount> maxImageCount_{};
    std::array<int64_t, kCameraCount> periodSeconds_{};
    std::array<std::string, kCameraCount> archivePath_;
    std::array<std::string, kCameraCount> suffix_;
    uint32_t keepFreeMB_ = 0;
    std::array<uint32_t, kCameraCount> maxArchiveMB_{};
    std::array<std::string, kCameraCount> staticFolder_;

    std::array<bool, kCameraCount> counted_{};
    // The oldest names of the last listing, to delete without listing again.
    std::array<OldestImages, kCameraCount> oldest_;
    // The counters and names come from a listing made since the last
    // deletion: a resize needs no listing first.
    std::array<bool, kCameraCount> fresh_{};
    // A name vanished, or the folder is another than the one listed: listed
    // again at the next tick.
    std::array<bool, kCameraCount> relistSoon_{};
    // The last listing found files gone or come behind our back: listed again
    // shortly, until a listing finds the folder as the counters say.
    std::array<bool, kCameraCount> settling_{};
    std::array<FolderId, kCameraCount> listedFolder_{};
    std::array<uint32_t, kCameraCount> listedFolderMade_{}; // ArchiveFolderMade at that listing
    std::array<std::chrono::steady_clock::time_point, kCameraCount> listedAt_{};
    std::array<std::chrono::steady_clock::duration, kCameraCount> listingTook_{};
    // Why the last pass could not delete a camera's surplus; empty when it could.
    std::array<std::string, kCameraCount> deleteFault_;
    int64_t listings_ = 0;

    // The storage floor.
    Groups groups_;
    std::array<uint64_t, kCameraCount> letterDevice_{}; // 0: folder not found
    std::array<int64_t, kCameraCount> bytesSeen_{};     // ArchiveBytes at the last look
    std::array<bool, kCameraCount> bytesSeenValid_{};   // false: a listing has set them since
    std::array<std::string, kCameraCount> diskFull_;    // the DiskFull reason shown; empty when none
    std::array<std::string, kCameraCount> spaceShown_;  // the forecast tooltip shown
    std::chrono::steady_clock::time_point spaceReadAt_;
    bool floorDeleting_ = false;
    std::chrono::steady_clock::time_point floorDeletedAt_;
};

} // namespace vistrel
