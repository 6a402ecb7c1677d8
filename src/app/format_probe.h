#pragma once

#include "capture/capture_backend.h"

#include <QObject>

#include <atomic>
#include <thread>
#include <vector>

namespace vistrel {

// Asks a device reached over the network for its formats on a thread of its
// own, so the window that lists them never waits on the network. Lives on
// the user-interface thread, where `finished` arrives; its thread only runs
// the query. Destroying it ends the query at once and joins the thread.
class FormatProbe : public QObject {
    Q_OBJECT
public:
    FormatProbe(int device, FormatQuery query, QObject* parent = nullptr);
    ~FormatProbe() override;

    int device() const { return device_; }
    // What the device reported, once `finished` came.
    const std::vector<CaptureFormat>& formats() const { return formats_; }

Q_SIGNALS:
    // 0, or the query's negative error code.
    void finished(int result);

private:
    const int device_;
    std::vector<CaptureFormat> formats_; // user-interface thread only
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace vistrel
