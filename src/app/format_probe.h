// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "capture/capture_backend.h"
#include "common/task.h"

#include <memory>
#include <vector>

namespace vistrel {

// Asks a device reached over the network for its formats as a Task, so the
// window that lists them never waits on the network. Lives on the
// user-interface thread, as every Task does; destroying it ends the query
// and waits for its thread.
class FormatProbe : public Task {
    Q_OBJECT
public:
    FormatProbe(int device, FormatQuery query, QObject* parent = nullptr);

    int device() const { return device_; }
    // Once `finished` has come: 0 or the query's negative error code, and
    // what the device reported.
    int result() const { return answer_->result; }
    const std::vector<CaptureFormat>& formats() const { return answer_->formats; }

private:
    // Written by the job's thread, read after it ended. The job holds it as
    // well: it may still run while this object's own members are destroyed,
    // until the task's destructor has waited for it.
    struct Answer {
        int result = 0;
        std::vector<CaptureFormat> formats;
    };
    FormatProbe(int device, FormatQuery query, std::shared_ptr<Answer> answer, QObject* parent);

    const int device_;
    const std::shared_ptr<const Answer> answer_;
};

} // namespace vistrel
