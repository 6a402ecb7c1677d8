// SPDX-License-Identifier: GPL-3.0-or-later
// The whole road of a frame on the image thread against one bare libjpeg-turbo
// encode of the same kind of frame, in the same run:
//  - BM_BareEncode: a frame grabbed once from the test-pattern device, encoded
//    at quality 75 straight from its bottom-up BGR rows into a file;
//  - BM_FrameRoad: the calls the image thread makes for one camera with
//    default settings that saves both the static file and an archive image:
//    GrabFrame, Rotate (0), MeasureMotion, the pane's DrawOverlay with the
//    overlay on, SetImage, SaveJpeg to the static path and SaveJpeg to a new
//    archive name, with the archive name check and size read around it;
//  - BM_FrameRoadPaced: the same road with 100 ms between frames (untimed),
//    the pace of a camera saving every 100 ms: what the recorder pays, with
//    the frame and the code gone from the caches since the frame before.
// At the end the CPU-time ratio road / bare is printed for each size. On a
// busy machine, --benchmark_repetitions=10 --benchmark_enable_random_interleaving=true
// keeps load changes from falling on one side of the ratio.
// The capture thread's own work (the device's conversion) is not on this
// thread and not counted here; capture_bench measures it.
// Each save creates a temporary file and renames it over the target, so the
// file system's cost of creating, renaming and freeing files is part of the
// road. Files go to a temporary folder under TMPDIR when it is set, else
// under /dev/shm: on a disk file system the thousands of files created and
// freed per second here make ext4 scan past its recently freed inodes at each
// creation, a cost that grows with the benchmark's own speed and that the
// recorder, saving a few files a second, never meets. Run with TMPDIR=/tmp
// to see it anyway.

#include "capture/dxvideo.h"
#include "display/picture_box.h"
#include "pipeline/motion.h"
#include "pipeline/transforms.h"
#include "support/bare_jpeg.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QFileInfo>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <system_error>
#include <thread>

#include <jpeglib.h>
#include <unistd.h>

namespace {

using namespace vistrel;

constexpr int kQuality = 75;
constexpr int kTriggerLevel = 10; // the default
constexpr int kArchiveBatch = 256; // archive images deleted, untimed, after this many

// Where the benchmarks write; set by main.
std::string gFolder;

class NullReporter : public IMessageReporter {
public:
    void ShowMessage(const std::string&, const std::string&, MessageIcon) override {}
};

// Starts the test-pattern device (device 0 without V4L2 devices) at the
// given size in 24 bits and waits for its first frame. False when it fails.
bool StartTestPattern(CDXVideo& video, int width, int height)
{
    const std::string format = std::to_string(width) + "x" + std::to_string(height) + " 24 bit";
    if (video.StartCapture(0, nullptr, format) != 0)
        return false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        if (video.GrabFrame())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

void BM_BareEncode(benchmark::State& state)
{
    NullReporter reporter;
    CDXVideo video(reporter);
    if (!StartTestPattern(video, int(state.range(0)), int(state.range(1)))) {
        state.SkipWithError("the test-pattern device did not start");
        return;
    }
    const std::unique_ptr<Frame> frame = video.GrabFrame();
    video.StopCapture();
    if (!frame || frame->bitCount() != 24) {
        state.SkipWithError("no 24-bit frame");
        return;
    }
    const std::string path = gFolder + "/bare.jpg";
    const int width = frame->width(), height = frame->height();
    const test::BareJpeg jpeg { width, height, kQuality, JCS_EXT_BGR };
    for (auto _ : state) {
        if (!test::BareEncodeToFile(path, jpeg, test::BottomUpRows(frame->data(), width, height))) {
            state.SkipWithError("cannot write the file");
            break;
        }
    }
}

// The road of one frame; with `pauseMs`, each frame comes that long after the
// one before (untimed), as the recorder's frames do, so caches have gone cold.
void FrameRoad(benchmark::State& state, int pauseMs)
{
    NullReporter reporter;
    CDXVideo video(reporter);
    if (!StartTestPattern(video, int(state.range(0)), int(state.range(1)))) {
        state.SkipWithError("the test-pattern device did not start");
        return;
    }
    CPictureBoxEx pane;
    OverlaySettings overlay; // "%t %w %d" in the default font, centred
    overlay.enabled = true;
    pane.SetOverlaySettings(overlay);
    MotionState motion;
    const std::string staticPath = gFolder + "/Cam1A.jpg";
    const std::string archiveFolder = gFolder + "/Camera1A";
    std::error_code error;
    std::filesystem::remove_all(archiveFolder, error); // left by an earlier run
    std::filesystem::create_directories(archiveFolder, error);
    const uint32_t time = uint32_t(std::time(nullptr));
    int number = 0;
    int64_t archiveBytes = 0;

    for (auto _ : state) {
        if (pauseMs > 0) {
            state.PauseTiming();
            std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
            state.ResumeTiming();
        }
        std::unique_ptr<Frame> frame = video.GrabFrame();
        if (!frame) {
            state.SkipWithError("no frame");
            break;
        }
        Rotate(*frame, 0);
        pane.SetHasPicture(true);
        const int level = MeasureMotion(motion, *frame, kTriggerLevel);
        pane.SetMotionBlocks(level >= kTriggerLevel ? motion.MotionBlocks : std::vector<uint32_t> {});
        pane.DrawOverlay(*frame);
        pane.SetImage(std::move(frame), true);

        pane.SaveJpeg(staticPath, kQuality);

        // One name per frame, so the image thread's search for a free name
        // stops at its first check.
        char tail[64];
        std::snprintf(tail, sizeof tail, "/%u%d-Cam%d%c.jpg", time, number++, 1, 'A');
        const std::string name = archiveFolder + tail;
        if (std::filesystem::exists(std::filesystem::symlink_status(name, error)))
            state.SkipWithError("archive name taken");
        if (pane.SaveJpeg(name, kQuality))
            archiveBytes += int64_t(std::filesystem::file_size(name, error));

        // The archive thread's pruning is not part of this road.
        if (number % kArchiveBatch == 0) {
            state.PauseTiming();
            std::filesystem::remove_all(archiveFolder, error);
            std::filesystem::create_directories(archiveFolder, error);
            state.ResumeTiming();
        }
    }
    state.counters["encodes_per_frame"] = benchmark::Counter(double(pane.encodeCount()) / double(state.iterations()));
    state.counters["archive_bytes"] = benchmark::Counter(double(archiveBytes) / double(state.iterations()));
}

void BM_FrameRoad(benchmark::State& state)
{
    FrameRoad(state, 0);
}

// At the pace of a camera saving every 100 ms.
void BM_FrameRoadPaced(benchmark::State& state)
{
    FrameRoad(state, 100);
}

void Sizes(benchmark::internal::Benchmark* b)
{
    b->Args({ 320, 240 })->Args({ 640, 480 })->Args({ 1920, 1080 })->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_BareEncode)->Apply(Sizes);
BENCHMARK(BM_FrameRoad)->Apply(Sizes);
// Fifty frames: five seconds of pauses per size.
BENCHMARK(BM_FrameRoadPaced)->Apply(Sizes)->Iterations(50);

// The console output, followed by road / bare per size from the mean CPU
// time of all repetitions.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    RatioReporter()
        : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular)
    {
    }

    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred)
                continue;
            Sum& sum = cpuTimes_[run.run_name.args][run.run_name.function_name];
            if (run.run_type == Run::RT_Iteration) {
                sum.total += run.GetAdjustedCPUTime();
                sum.count += 1;
            } else if (run.aggregate_name == "mean") {
                // Only the aggregates are reported when asked so; the mean stands for them all.
                sum.total = run.GetAdjustedCPUTime();
                sum.count = 1;
            }
        }
    }

    void Finalize() override
    {
        for (const auto& [size, times] : cpuTimes_) {
            const auto bare = times.find("BM_BareEncode");
            const auto road = times.find("BM_FrameRoad");
            if (bare == times.end() || road == times.end())
                continue;
            const double ratio = road->second.mean() / bare->second.mean();
            GetOutputStream() << "road / bare encode at " << size << ": " << ratio << "x CPU time\n";
        }
        ConsoleReporter::Finalize();
    }

private:
    struct Sum {
        double total = 0;
        int count = 0;
        double mean() const { return total / count; }
    };
    std::map<std::string, std::map<std::string, Sum>> cpuTimes_;
};

} // namespace

int main(int argc, char** argv)
{
    // No display needed, and the test-pattern device must be device 0.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("VISTREL_NO_V4L2", "1");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    const bool useShm = qEnvironmentVariableIsEmpty("TMPDIR") && QFileInfo(QStringLiteral("/dev/shm")).isDir();
    QTemporaryDir folder(useShm ? QStringLiteral("/dev/shm/vistrel-road-XXXXXX") : QString());
    if (!folder.isValid())
        return 1;
    gFolder = folder.path().toStdString();
    benchmark::AddCustomContext("files", gFolder);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
