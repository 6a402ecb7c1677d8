// SPDX-License-Identifier: GPL-3.0-or-later
// The review window opening on a million archive images against a bare
// listing of their names, and the export of an hour at one image a second
// against ffmpeg's own image2 reader into the same encoder (MP4) and against
// a bare copy of the same bytes (ZIP).
#include "review/archive_watcher.h"
#include "review/exporter.h"
#include "review/review_window.h"
#include "review/timeline.h"
#include "review/timeline_widget.h"
#include "settings/instance_settings.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QImage>
#include <QPainter>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vistrel {
namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kFirstTime = 1796648400; // 2026-12-07 13:00 UTC

size_t FromEnvironment(const char* name, size_t fallback)
{
    const char* value = std::getenv(name);
    return value && *value ? size_t(std::strtoull(value, nullptr, 10)) : fallback;
}

// A temporary folder removed at the end of the run.
class TempFolder {
public:
    explicit TempFolder(const char* stem)
    {
        std::string pattern = std::filesystem::temp_directory_path().string() + "/" + stem + "-XXXXXX";
        if (!mkdtemp(pattern.data()))
            std::abort();
        path_ = pattern;
    }
    ~TempFolder() { std::filesystem::remove_all(path_); }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// VISTREL_REVIEW_BENCH_IMAGES (default one million) empty archive images of
// camera A, one a second, made once per run.
const TempFolder& MillionImages()
{
    static const std::unique_ptr<TempFolder> folder = [] {
        auto made = std::make_unique<TempFolder>("review-bench-million");
        const size_t images = FromEnvironment("VISTREL_REVIEW_BENCH_IMAGES", 1000000);
        const std::string suffix = ArchiveSuffix(1, 0);
        for (size_t k = 0; k < images; ++k) {
            const std::string file = made->path() + "/" + std::to_string(kFirstTime + k) + "0" + suffix;
            const int fd = ::open(file.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
            if (fd < 0)
                std::abort();
            ::close(fd);
        }
        return made;
    }();
    return *folder;
}

// An hour at one image a second, 640x480, as a camera sees a quiet room: a
// still scene, someone crossing it, the time stamped into the corner and a
// little sensor noise.
const TempFolder& HourOfImages()
{
    static const std::unique_ptr<TempFolder> folder = [] {
        auto made = std::make_unique<TempFolder>("review-bench-hour");
        const std::string suffix = ArchiveSuffix(1, 0);
        std::mt19937 noise(1);
        QImage base(640, 480, QImage::Format_RGB888);
        for (int y = 0; y < base.height(); ++y)
            for (int x = 0; x < base.width(); ++x)
                base.setPixelColor(x, y, QColor(60 + x / 8, 70 + y / 8, 90 + (x * y) % 17));
        const size_t images = FromEnvironment("VISTREL_REVIEW_BENCH_HOUR", 3600);
        for (size_t k = 0; k < images; ++k) {
            QImage frame = base;
            for (int n = 0; n < 3000; ++n) {
                const int x = int(noise() % 640);
                const int y = int(noise() % 480);
                const QColor c = frame.pixelColor(x, y);
                const int d = int(noise() % 9) - 4;
                frame.setPixelColor(x, y, QColor(std::clamp(c.red() + d, 0, 255), std::clamp(c.green() + d, 0, 255),
                                                 std::clamp(c.blue() + d, 0, 255)));
            }
            QPainter painter(&frame);
            painter.fillRect(int(k * 7 % 560), 200, 80, 160, QColor(200, 170, 150));
            painter.fillRect(0, 0, 200, 22, Qt::white);
            painter.setPen(Qt::black);
            painter.drawText(6, 16, QString::fromStdString(FormatLocalTime(kFirstTime + k)));
            painter.end();
            const std::string file = made->path() + "/" + std::to_string(kFirstTime + k) + "0" + suffix;
            if (!frame.save(QString::fromStdString(file), "JPG", 75))
                std::abort();
        }
        return made;
    }();
    return *folder;
}

// CPU seconds of this process (all its threads) or of its ended children.
double CpuSeconds(int who)
{
    rusage usage{};
    getrusage(who, &usage);
    const auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) * 1e-6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

long ResidentKb()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return 0;
}

void Time(benchmark::State& state, const std::function<void()>& work)
{
    const auto start = Clock::now();
    work();
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
}

// From a new review window to its timeline painted over every image.
void BM_OpenReviewWindow(benchmark::State& state)
{
    const std::string& folder = MillionImages().path();
    InstanceSettings settings;
    settings.ArchivePath[0] = folder;
    size_t images = 0;
    long residentKb = 0;
    long sizedResidentKb = 0;
    double cpuSeconds = 0;
    for (auto _ : state) {
        const long before = ResidentKb();
        std::unique_ptr<ReviewWindow> window;
        const double cpuBefore = CpuSeconds(RUSAGE_SELF);
        Time(state, [&] {
            ReviewEnvironment environment;
            environment.settings = &settings;
            window = std::make_unique<ReviewWindow>(0, environment);
            window->show();
            while (window->index()->state() != ArchiveIndex::State::Ready || window->index()->empty())
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
            window->timeline()->repaint();
        });
        cpuSeconds = CpuSeconds(RUSAGE_SELF) - cpuBefore;
        images = window->index()->size();
        residentKb = ResidentKb() - before;
        // And once every size has been read, in the background.
        while (!window->index()->sizesKnown())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        sizedResidentKb = ResidentKb() - before;
    }
    state.counters["images"] = double(images);
    state.counters["cpu_s"] = cpuSeconds;
    state.counters["resident_MB"] = double(residentKb) / 1024.0;
    state.counters["resident_sized_MB"] = double(sizedResidentKb) / 1024.0;
}
BENCHMARK(BM_OpenReviewWindow)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

// The index alone: every name read, parsed and sorted, no window.
void BM_ListArchiveImages(benchmark::State& state)
{
    const std::string& folder = MillionImages().path();
    const std::atomic<bool> never{false};
    std::vector<ArchiveImage> images;
    const double cpuBefore = CpuSeconds(RUSAGE_SELF);
    for (auto _ : state)
        Time(state, [&] { ListArchiveImages(folder, ArchiveSuffix(1, 0), images, never); });
    state.counters["cpu_s"] = (CpuSeconds(RUSAGE_SELF) - cpuBefore) / double(state.iterations());
    state.counters["images"] = double(images.size());
}
BENCHMARK(BM_ListArchiveImages)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

// The least any listing does: every name of the folder read once.
void BM_BareListing(benchmark::State& state)
{
    const std::string& folder = MillionImages().path();
    size_t names = 0;
    const double cpuBefore = CpuSeconds(RUSAGE_SELF);
    for (auto _ : state) {
        Time(state, [&] {
            names = 0;
            DIR* dir = opendir(folder.c_str());
            while (const dirent* e = readdir(dir))
                names += e->d_name[0] != '.';
            closedir(dir);
        });
    }
    state.counters["cpu_s"] = (CpuSeconds(RUSAGE_SELF) - cpuBefore) / double(state.iterations());
    state.counters["images"] = double(names);
}
BENCHMARK(BM_BareListing)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

ExportJob HourJob(ExportFormat format, const std::string& output)
{
    ExportJob job;
    job.folder = HourOfImages().path();
    job.suffix = ArchiveSuffix(1, 0);
    std::vector<ArchiveImage> images;
    const std::atomic<bool> never{false};
    ListArchiveImages(job.folder, job.suffix, images, never);
    const ArchiveIndex index(std::move(images), ArchiveIndex::State::Ready);
    job.frames = ExportFramesOf(index, 0, index.size());
    job.output = output;
    job.format = format;
    return job;
}

void ExportHour(benchmark::State& state, ExportFormat format, const char* name)
{
    TempFolder out("review-bench-out");
    const ExportJob job = HourJob(format, out.path() + "/" + name);
    for (auto _ : state) {
        const std::atomic<bool> goOn{false};
        ExportResult result;
        const double cpuBefore = CpuSeconds(RUSAGE_SELF);
        Time(state, [&] { result = RunExport(job, {}, goOn); });
        state.counters["cpu_s"] = CpuSeconds(RUSAGE_SELF) - cpuBefore;
        if (result.status != ExportResult::Status::Done)
            state.SkipWithError(result.error.c_str());
        state.counters["images"] = double(result.written);
    }
    struct stat st{};
    stat(job.output.c_str(), &st);
    state.counters["file_MB"] = double(st.st_size) / (1024.0 * 1024.0);
}

void BM_ExportHourMp4(benchmark::State& state)
{
    ExportHour(state, ExportFormat::Mp4, "hour.mp4");
    state.SetLabel(AvailableVideoEncoders().empty() ? "none" : AvailableVideoEncoders().front());
}
BENCHMARK(BM_ExportHourMp4)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);

// The same images into the same encoder and settings by the ffmpeg program
// (its image2 reader: a constant frame rate, so no times of its own).
void BM_FfmpegImage2Hour(benchmark::State& state)
{
    if (std::system("ffmpeg -version >/dev/null 2>&1") != 0) {
        state.SkipWithError("the ffmpeg program is missing (Debian package 'ffmpeg')");
        return;
    }
    TempFolder out("review-bench-ffmpeg");
    const std::string command = "ffmpeg -nostdin -loglevel error -y -framerate 1 -pattern_type glob -i '"
        + HourOfImages().path() + "/*-Cam1A.jpg' -c:v libx264 -preset veryfast -crf 23 -g 50 -movflags +faststart '"
        + out.path() + "/hour.mp4'";
    for (auto _ : state) {
        int status = 0;
        const double cpuBefore = CpuSeconds(RUSAGE_CHILDREN);
        Time(state, [&] { status = std::system(command.c_str()); });
        state.counters["cpu_s"] = CpuSeconds(RUSAGE_CHILDREN) - cpuBefore;
        if (status != 0)
            state.SkipWithError("ffmpeg failed");
    }
}
BENCHMARK(BM_FfmpegImage2Hour)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(2);

void BM_ExportHourZip(benchmark::State& state)
{
    ExportHour(state, ExportFormat::Zip, "hour.zip");
}
BENCHMARK(BM_ExportHourZip)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

// Every image's bytes read and appended to one file: what a stored ZIP
// cannot do without.
void BM_BareCopyHour(benchmark::State& state)
{
    TempFolder out("review-bench-copy");
    const ExportJob job = HourJob(ExportFormat::Zip, out.path() + "/hour.bin");
    std::vector<char> data;
    for (auto _ : state) {
        Time(state, [&] {
            const int fd = ::open(job.output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            for (const ExportFrame& frame : job.frames) {
                const std::string name = job.folder + "/" + ArchiveImageName(frame.key, job.suffix);
                const int in = ::open(name.c_str(), O_RDONLY);
                struct stat st;
                fstat(in, &st);
                data.resize(size_t(st.st_size));
                benchmark::DoNotOptimize(::read(in, data.data(), data.size()));
                ::close(in);
                benchmark::DoNotOptimize(::write(fd, data.data(), data.size()));
            }
            fsync(fd);
            ::close(fd);
        });
    }
}
BENCHMARK(BM_BareCopyHour)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

} // namespace
} // namespace vistrel

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
