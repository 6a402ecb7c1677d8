// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "archive/archive_file.h"
#include "review/atomic_output.h"
#include "review/exporter.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

// The two writers behind RunExport; they run on the exporting thread.
namespace vistrel {

// Counts a file that could not be read into the result as what it is.
void CountUnread(ArchiveFileStatus status, const std::string& name, ExportResult& result);

// `progress` is never empty here.
ExportResult WriteZip(const ExportJob& job, const TaskProgress& progress, const std::atomic<bool>& cancel,
                      AtomicOutput& output, int dirFd);
ExportResult WriteMp4(const ExportJob& job, const TaskProgress& progress, const std::atomic<bool>& cancel,
                      AtomicOutput& output, int dirFd);

} // namespace vistrel
