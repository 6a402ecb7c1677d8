// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/task.h"
#include "review/exporter.h"

namespace vistrel {

// An export (MP4 or ZIP) as a Task: `progress` counts the job's images,
// `finished` comes once the file is whole, or the export failed or was
// cancelled and left nothing behind. Lives on the thread that made it, as
// every Task does; destroying it cancels the export and waits for it.
class ExportTask : public Task {
    Q_OBJECT
public:
    explicit ExportTask(ExportJob job, QObject* parent = nullptr);
    // The job writes result_ and reads job_: it ends before they go.
    ~ExportTask() override;

    const ExportJob& job() const { return job_; }
    // The outcome, once `finished` has come.
    const ExportResult& result() const { return result_; }

private:
    const ExportJob job_;
    ExportResult result_; // written by the job's thread, read after it ended
};

} // namespace vistrel
