// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/task.h"
#include "review/archive_index.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vistrel {

enum class ExportFormat {
    Mp4, // H.264 video, each image at its own time
    Zip, // the JPEG files themselves, stored
};

// By the output's extension (".mp4", ".zip", in any case); none for others.
std::optional<ExportFormat> ExportFormatFor(std::string_view path);

// One image to export and when it was taken (ms since 1970, UTC).
struct ExportFrame {
    ArchiveKey key;
    int64_t timeMs = 0;
};

struct ExportJob {
    std::string folder; // the camera's archive folder
    std::string suffix; // "-Cam%d%c.jpg"
    std::vector<ExportFrame> frames; // oldest first
    std::string output;
    ExportFormat format = ExportFormat::Mp4;
};

// The images [first, last) of an index as export frames.
std::vector<ExportFrame> ExportFramesOf(const ArchiveIndex& index, size_t first, size_t last);

struct ExportResult {
    // Images of one kind that were left out, and the first of them by name,
    // so that the user can find it.
    struct LeftOut {
        size_t count = 0;
        std::string first;
        void Add(const std::string& name)
        {
            if (count++ == 0)
                first = name;
        }
    };

    enum class Status { Done, Cancelled, Failed };
    Status status = Status::Failed;
    std::string error;       // why it failed
    size_t written = 0;      // images in the file
    size_t skipped = 0;      // images gone (retention) or unreadable since they were listed
    LeftOut oversized;       // files over kMaxArchiveImageBytes: never read
    LeftOut damaged;         // JPEGs cut short or corrupt, or empty files: no garbage frame made of them
    std::string encoder;     // the video encoder used
    std::string note;        // worth telling the user although it worked (a fallback encoder)
};

// One sentence for each kind of image the export left out ("2 images are
// damaged or cut short ..."), for the user; none when it left out nothing.
std::vector<std::string> DescribeLeftOut(const ExportResult& result);

// Writes the job's images to its output: under a temporary name, renamed
// over the output only when the file is whole. Runs on the caller's thread
// (never the user-interface thread: an hour of video takes seconds), as an
// ExportTask does. Counts the images it has been through to `progress` (may
// be empty) and stops, leaving nothing behind, soon after `cancel` is set.
ExportResult RunExport(const ExportJob& job, const TaskProgress& progress, const std::atomic<bool>& cancel);

// The video encoders this machine offers for MP4, best first: H.264 when
// the library has one, else MPEG-4 Part 2.
std::vector<std::string> AvailableVideoEncoders();

} // namespace vistrel
