// SPDX-License-Identifier: GPL-3.0-or-later
#include "review/exporter.h"

#include "review/export_steps.h"
#include "review/zip_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace vistrel {

std::optional<ExportFormat> ExportFormatFor(std::string_view path)
{
    const auto endsWith = [path](std::string_view ending) {
        return path.size() >= ending.size()
            && std::equal(ending.begin(), ending.end(), path.end() - ptrdiff_t(ending.size()),
                          [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
    };
    if (endsWith(".mp4"))
        return ExportFormat::Mp4;
    if (endsWith(".zip"))
        return ExportFormat::Zip;
    return std::nullopt;
}

std::vector<ExportFrame> ExportFramesOf(const ArchiveIndex& index, size_t first, size_t last)
{
    std::vector<ExportFrame> frames;
    last = std::min(last, index.size());
    if (first >= last)
        return frames;
    frames.reserve(last - first);
    // The times of ArchiveIndex::TimeMs, a second's run of images at a time,
    // in one pass: a month of images takes no searching.
    const std::vector<ArchiveImage>& images = index.images();
    for (size_t i = first; i < last;) {
        const uint32_t seconds = images[i].key.seconds;
        size_t runStart = i;
        while (runStart > 0 && images[runStart - 1].key.seconds == seconds)
            --runStart;
        size_t runEnd = i + 1;
        while (runEnd < images.size() && images[runEnd].key.seconds == seconds)
            ++runEnd;
        for (; i < runEnd && i < last; ++i)
            frames.push_back({images[i].key, int64_t(seconds) * 1000
                                                 + int64_t(uint64_t(i - runStart) * 1000 / uint64_t(runEnd - runStart))});
    }
    return frames;
}

void CountUnread(ArchiveFileStatus status, const std::string& name, ExportResult& result)
{
    if (status == ArchiveFileStatus::TooLarge)
        result.oversized.Add(name);
    else
        ++result.skipped;
}

std::vector<std::string> DescribeLeftOut(const ExportResult& result)
{
    const auto images = [](size_t n) { return n == 1 ? std::string("1 image is") : std::to_string(n) + " images are"; };
    std::vector<std::string> lines;
    if (result.skipped > 0)
        lines.push_back(std::to_string(result.skipped)
                        + " images had left the archive (or could not be read) and are missing");
    if (result.oversized.count > 0)
        lines.push_back(images(result.oversized.count) + " over " + std::to_string(kMaxArchiveImageBytes >> 20)
                        + " MiB and left out (the first: " + result.oversized.first + ")");
    if (result.damaged.count > 0)
        lines.push_back(images(result.damaged.count) + " damaged or cut short and left out (the first: "
                        + result.damaged.first + ")");
    return lines;
}

ExportResult WriteZip(const ExportJob& job, const TaskProgress& progress, const std::atomic<bool>& cancel,
                      AtomicOutput& output, int dirFd)
{
    ExportResult result;
    ZipWriter zip(output.fd());
    std::vector<uint32_t> kept; // frames in the archive, for their names at the end
    kept.reserve(job.frames.size());
    std::vector<uint8_t> data;
    for (size_t i = 0; i < job.frames.size(); ++i) {
        if (cancel) {
            result.status = ExportResult::Status::Cancelled;
            return result;
        }
        const ExportFrame& frame = job.frames[i];
        const std::string name = ArchiveImageName(frame.key, job.suffix);
        if (const ArchiveFileStatus read = ReadArchiveFile(dirFd, name, data); read != ArchiveFileStatus::Read) {
            CountUnread(read, name, result);
        } else if (data.empty()) {
            result.damaged.Add(name); // a save cut short before its first byte
        } else if (zip.Add(name, data.data(), data.size(), frame.key.seconds)) {
            kept.push_back(uint32_t(i));
        } else {
            result.error = WriteError(job.output, zip.error());
            return result;
        }
        progress(int64_t(i + 1), int64_t(job.frames.size()));
    }
    result.written = kept.size();
    if (kept.empty())
        return result;
    if (!zip.Finish([&](size_t i) { return ArchiveImageName(job.frames[kept[i]].key, job.suffix); })) {
        result.error = WriteError(job.output, zip.error());
        return result;
    }
    result.status = ExportResult::Status::Done;
    return result;
}

ExportResult RunExport(const ExportJob& job, const TaskProgress& progress, const std::atomic<bool>& cancel)
{
    ExportResult result;
    if (job.frames.empty()) {
        result.error = "there are no images to export";
        return result;
    }
    const int dirFd = open((job.folder + "/").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) {
        result.error = "cannot read the archive folder \"" + job.folder + "\": " + std::strerror(errno);
        return result;
    }
    std::unique_ptr<AtomicOutput> output = AtomicOutput::Create(job.output, result.error);
    if (output) {
        const TaskProgress report = progress ? progress : [](int64_t, int64_t) {};
        result = job.format == ExportFormat::Zip ? WriteZip(job, report, cancel, *output, dirFd)
                                                 : WriteMp4(job, report, cancel, *output, dirFd);
        if (result.status == ExportResult::Status::Done && !output->Commit(result.error))
            result.status = ExportResult::Status::Failed;
        if (result.status == ExportResult::Status::Failed && result.error.empty() && result.written == 0) {
            result.error = "none of the " + std::to_string(job.frames.size()) + " images could be read: ";
            if (result.skipped == job.frames.size()) {
                result.error += "they have left the archive since it was listed";
            } else {
                const std::vector<std::string> leftOut = DescribeLeftOut(result);
                for (size_t i = 0; i < leftOut.size(); ++i)
                    result.error += (i > 0 ? "; " : "") + leftOut[i];
            }
        }
    }
    close(dirFd);
    return result;
}

} // namespace vistrel
