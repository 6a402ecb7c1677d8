// SPDX-License-Identifier: GPL-3.0-or-later
// The archive thread's passes on a folder of 100,000 images against the bare
// file-system calls they cannot avoid.
#include "archive/archive_folder.h"
#include "archive/archive_keeper.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include <dirent.h>
#include <malloc.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vistrel {
namespace {

constexpr int kImages = 100000;
constexpr uint32_t kFirstTime = 1600000000;

class NullDisplay : public IRecorderDisplay {
public:
    ICameraPane& Pane(int) override { std::abort(); }
    void SetMeterRange(int, Meter, int, int) override {}
    void SetMeterPos(int, Meter, int) override {}
    void SetMeterText(int, Meter, const std::string&) override {}
    void SetMeterBarColour(int, Meter, uint32_t) override {}
    void SetLabelText(int, Label, const std::string&) override {}
};

// A temporary folder of archive images of camera A of instance 1, removed
// at the end. The images are hard links to two-byte files (an empty image is
// never kept), so a million of them cost directory entries and no blocks.
class ImageFolder {
public:
    explicit ImageFolder(int images)
    {
        std::string pattern = std::filesystem::temp_directory_path().string() + "/archive-bench-XXXXXX";
        if (!mkdtemp(pattern.data()))
            std::abort();
        path_ = pattern;
        for (int k = 0; k < images; ++k)
            AddNewest();
    }
    ~ImageFolder() { std::filesystem::remove_all(path_); }

    const std::string& path() const { return path_; }

    // One more image, newer than all others, as the image thread writes it.
    // File systems limit the links of one file (ext4: 65,000): a new
    // original every 50,000 images.
    void AddNewest()
    {
        if (made_ % 50000 == 0) {
            original_ = path_ + "/.original" + std::to_string(made_ / 50000);
            const int fd = ::open(original_.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
            // The JPEG end marker: the count pass takes images without it for torn.
            if (fd < 0 || ::write(fd, "\xff\xd9", 2) != 2)
                std::abort();
            ::close(fd);
        }
        ++made_;
        const std::string file = path_ + "/" + std::to_string(nextTime_++) + "0" + suffix_;
        if (::link(original_.c_str(), file.c_str()) != 0)
            std::abort();
    }
    // The oldest image, which the next deletion removes; marked gone.
    std::string TakeOldest() { return path_ + "/" + std::to_string(oldestTime_++) + "0" + suffix_; }

private:
    std::string path_;
    std::string original_;
    std::string suffix_ = ArchiveSuffix(1, 0);
    uint32_t nextTime_ = kFirstTime;
    uint32_t oldestTime_ = kFirstTime;
    int made_ = 0;
};

ImageFolder* folder = nullptr;

// Retention of exactly kImages images: 16 h 40 min at 600 ms.
void ConfigureFullArchive(InstanceSettings& settings)
{
    settings.ArchivePath[0] = folder->path();
    settings.SaveEvery = 600;
    settings.Hours[0] = 16;
    settings.Minutes[0] = 40;
}

template <typename F>
void TimeEach(benchmark::State& state, F&& timed)
{
    const auto start = std::chrono::steady_clock::now();
    timed();
    state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
}

// One keeper for every run of the prune benchmark: counting 100,000 images
// is its set-up, not what it measures.
struct SteadyArchive {
    SteadyArchive()
    {
        ConfigureFullArchive(settings);
        keeper.TakeSettingsSnapshot();
        keeper.CountArchives();
    }
    InstanceSettings settings;
    NullDisplay display;
    ArchiveKeeper keeper{settings, display, [] {}};
};

// The steady state: one new image, and the tick that deletes the oldest.
void BM_PruneOneSurplusImage(benchmark::State& state)
{
    static SteadyArchive archive;
    if (archive.keeper.MaxImageCount(0) != kImages) {
        state.SkipWithError("retention is not 100,000 images");
        return;
    }
    for (auto _ : state) {
        folder->AddNewest();
        archive.settings.ArchiveCount[0] += 1;
        const std::string oldest = folder->TakeOldest();
        TimeEach(state, [&] { archive.keeper.PruneArchives(); });
        if (::access(oldest.c_str(), F_OK) == 0) {
            state.SkipWithError("the oldest image was not deleted");
            break;
        }
    }
    state.counters["listings"] = double(archive.keeper.ListingCount());
}
BENCHMARK(BM_PruneOneSurplusImage)->UseManualTime()->Unit(benchmark::kMicrosecond);

// The same steady state with the storage floor on (automatic: the disk is
// above it, so the floor only keeps its figures, and reads the disk at most
// once a second) against off (KeepFreeMB 0), in one run: what the floor
// costs each save.
void BM_SaveAndTickFloor(benchmark::State& state)
{
    const bool floorOn = state.range(0) != 0;
    static std::unique_ptr<SteadyArchive> archives[2];
    std::unique_ptr<SteadyArchive>& archive = archives[floorOn ? 1 : 0];
    if (!archive) {
        archive = std::make_unique<SteadyArchive>();
        archive->settings.KeepFreeMB = floorOn ? kKeepFreeAutomatic : 0;
        archive->keeper.NotifySettingsChanged();
        archive->keeper.TakeSettingsSnapshot();
    }
    for (auto _ : state) {
        folder->AddNewest();
        const std::string oldest = folder->TakeOldest();
        TimeEach(state, [&] {
            archive->settings.ArchiveCount[0] += 1;
            archive->settings.ArchiveBytes[0] += 1;
            archive->keeper.PruneArchives();
        });
        if (::access(oldest.c_str(), F_OK) == 0) {
            state.SkipWithError("the oldest image was not deleted");
            break;
        }
    }
    state.SetLabel(floorOn ? "floor on" : "floor off");
}
BENCHMARK(BM_SaveAndTickFloor)->Arg(0)->Arg(1)->UseManualTime()->Unit(benchmark::kMicrosecond);

// Baseline: the same step with a bare unlink of the oldest image.
void BM_BareUnlink(benchmark::State& state)
{
    for (auto _ : state) {
        folder->AddNewest();
        const std::string oldest = folder->TakeOldest();
        TimeEach(state, [&] {
            if (::unlink(oldest.c_str()) != 0)
                std::abort();
        });
    }
}
BENCHMARK(BM_BareUnlink)->UseManualTime()->Unit(benchmark::kMicrosecond);

void CountPass(benchmark::State& state, const std::function<void()>& dispatch)
{
    InstanceSettings settings;
    ConfigureFullArchive(settings);
    NullDisplay display;
    for (auto _ : state) {
        ArchiveKeeper keeper(settings, display, dispatch);
        keeper.TakeSettingsSnapshot();
        TimeEach(state, [&] { keeper.CountArchives(); });
    }
    state.counters["images"] = settings.ArchiveCount[0];
}

// A count pass without the message pump, then with it as the thread runs it.
void BM_CountPass(benchmark::State& state)
{
    CountPass(state, [] {});
}
BENCHMARK(BM_CountPass)->UseManualTime()->Unit(benchmark::kMillisecond);

void BM_CountPassWithMessagePump(benchmark::State& state)
{
    CountPass(state, [] { QCoreApplication::processEvents(); });
}
BENCHMARK(BM_CountPassWithMessagePump)->UseManualTime()->Unit(benchmark::kMillisecond);

// Baseline: readdir of the whole folder.
void BM_BareReaddir(benchmark::State& state)
{
    for (auto _ : state) {
        TimeEach(state, [&] {
            DIR* dir = opendir(folder->path().c_str());
            int entries = 0;
            while (readdir(dir))
                ++entries;
            closedir(dir);
            benchmark::DoNotOptimize(entries);
        });
    }
}
BENCHMARK(BM_BareReaddir)->UseManualTime()->Unit(benchmark::kMillisecond);

// What a count cannot do without: readdir and the size of every file.
void BM_BareReaddirAndStat(benchmark::State& state)
{
    for (auto _ : state) {
        TimeEach(state, [&] {
            DIR* dir = opendir(folder->path().c_str());
            int64_t total = 0;
            struct stat st;
            while (const dirent* e = readdir(dir)) {
                if (fstatat(dirfd(dir), e->d_name, &st, 0) == 0)
                    total += st.st_size;
            }
            closedir(dir);
            benchmark::DoNotOptimize(total);
        });
    }
}
BENCHMARK(BM_BareReaddirAndStat)->UseManualTime()->Unit(benchmark::kMillisecond);

// A tick that finds nothing to delete: counters, texts, no file-system call.
void BM_TickWithNothingToDelete(benchmark::State& state)
{
    InstanceSettings settings;
    ConfigureFullArchive(settings);
    NullDisplay display;
    ArchiveKeeper keeper(settings, display, [] {});
    keeper.TakeSettingsSnapshot();
    settings.ArchiveCount[0] = kImages;
    for (auto _ : state)
        keeper.PruneArchives();
    state.counters["listings"] = double(keeper.ListingCount());
}
BENCHMARK(BM_TickWithNothingToDelete)->Unit(benchmark::kMicrosecond);

// Resident memory of the archive thread at 400,000 and 1,000,000 images:
// the count pass and a minute of steady-state ticks, against the same keeper
// on an empty archive (the bare baseline).
int64_t StatusKb(const char* field)
{
    FILE* status = std::fopen("/proc/self/status", "r");
    if (!status)
        return -1;
    char line[256];
    int64_t kb = -1;
    const size_t length = std::strlen(field);
    while (std::fgets(line, sizeof line, status)) {
        if (std::strncmp(line, field, length) == 0 && line[length] == ':') {
            kb = std::atoll(line + length + 1);
            break;
        }
    }
    std::fclose(status);
    return kb;
}

// The peak (VmHWM) starts again from the current resident size.
void ResetPeak()
{
    if (FILE* refs = std::fopen("/proc/self/clear_refs", "w")) {
        std::fputs("5", refs);
        std::fclose(refs);
    }
}

// Counts `path` and runs `ticks` steady-state ticks (one new image, one
// deletion each); returns the resident growth and the peak growth in kB.
std::pair<int64_t, int64_t> KeeperMemory(const std::string& path, int images, ImageFolder* growing, int ticks)
{
    // What an earlier run freed must not hide this run's growth.
    malloc_trim(0);
    const int64_t before = StatusKb("VmRSS");
    ResetPeak();
    int64_t grown = 0;
    {
        InstanceSettings settings;
        settings.ArchivePath[0] = path;
        // Retention of exactly `images` images: 100 a minute. The last run
        // left that many, so the keeper holds the names it would for them.
        settings.SaveEvery = 600;
        settings.Minutes[0] = images / 100;
        settings.LoadedArchiveCount[0] = images;
        NullDisplay display;
        ArchiveKeeper keeper(settings, display, [] {});
        keeper.TakeSettingsSnapshot();
        keeper.CountArchives();
        for (int tick = 0; tick < ticks; ++tick) {
            if (growing) {
                growing->AddNewest();
                TimedLock lock(settings.ArchiveCountLock[0]);
                settings.ArchiveCount[0] += 1;
            }
            keeper.PruneArchives();
        }
        grown = StatusKb("VmRSS") - before;
    }
    return {grown, StatusKb("VmHWM") - before};
}

void BM_ResidentMemory(benchmark::State& state)
{
    const int images = int(state.range(0));
    ImageFolder full(images);
    ImageFolder empty(0);
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        const auto [baseline, baselinePeak] = KeeperMemory(empty.path(), images, nullptr, 300);
        const auto [resident, peak] = KeeperMemory(full.path(), images, &full, 300);
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        state.counters["empty_rss_kb"] = double(baseline);
        state.counters["rss_kb"] = double(resident);
        state.counters["empty_peak_kb"] = double(baselinePeak);
        state.counters["peak_kb"] = double(peak);
    }
}
BENCHMARK(BM_ResidentMemory)->Arg(400000)->Arg(1000000)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// For scale: one stat of the archive folder.
void BM_BareStat(benchmark::State& state)
{
    struct stat st;
    for (auto _ : state)
        benchmark::DoNotOptimize(::stat(folder->path().c_str(), &st));
}
BENCHMARK(BM_BareStat)->Unit(benchmark::kMicrosecond);

} // namespace
} // namespace vistrel

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    vistrel::ImageFolder images(vistrel::kImages);
    vistrel::folder = &images;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    vistrel::folder = nullptr;
    return 0;
}
