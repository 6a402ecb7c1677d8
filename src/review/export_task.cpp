// SPDX-License-Identifier: GPL-3.0-or-later
#include "review/export_task.h"

namespace vistrel {

// The job reads job_ and writes result_ only once started, when both exist.
ExportTask::ExportTask(ExportJob job, QObject* parent)
    : Task([this](const TaskProgress& progress,
                  const std::atomic<bool>& cancel) { result_ = RunExport(job_, progress, cancel); },
           parent)
    , job_(std::move(job))
{
}

ExportTask::~ExportTask()
{
    CancelAndWait();
}

} // namespace vistrel
