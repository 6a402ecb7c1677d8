#pragma once

#include "review/atomic_output.h"
#include "review/exporter.h"

#include <cstdint>
#include <string>
#include <vector>

// The two writers behind RunExport; they run on the exporting thread.
namespace vistrel {

// The whole file `name` of the folder open as `dirFd`; false when it is gone,
// unreadable or not a regular file.
bool ReadArchiveFile(int dirFd, const std::string& name, std::vector<uint8_t>& data);

ExportResult WriteZip(const ExportJob& job, ExportControl& control, AtomicOutput& output, int dirFd);
ExportResult WriteMp4(const ExportJob& job, ExportControl& control, AtomicOutput& output, int dirFd);

} // namespace vistrel
