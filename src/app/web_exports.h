// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "review/exporter.h"
#include "web/web_backend.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace vistrel {

class Task;

// The exports remote viewers ask for: one runs at a time, on a thread of its
// own at the lowest priority so it never slows the recording; the others wait
// their turn. Each finished file is removed after `keepFor`; files left by an
// earlier run are removed at the start.
//
// Lives on the user-interface thread, which runs the export tasks; Add and
// Find may be called from any thread and never wait on it.
class WebExports : public QObject {
    Q_OBJECT
public:
    static constexpr size_t kMaxWaiting = 8;

    WebExports(std::filesystem::path folder, std::chrono::milliseconds keepFor, QObject* parent = nullptr);
    ~WebExports() override; // cancels a running export and removes every file

    // Queues the export; 0 and its id, or -EBUSY while too many wait, or
    // -errno when the folder for the files cannot be made.
    int Add(ExportJob job, WebExportFormat format, std::string* id);
    bool Find(const std::string& id, WebExportJob* job);

private:
    struct Entry {
        WebExportJob state;
        ExportJob job;
        std::chrono::steady_clock::time_point doneAt;
    };

    void StartNext();
    void Finished();
    void RemoveExpired();

    const std::filesystem::path folder_;
    const std::chrono::milliseconds keepFor_;
    std::unique_ptr<Task> running_; // user-interface thread only
    std::string runningId_;         // user-interface thread only
    QTimer expiry_;

    std::mutex jobsMutex_; // guards jobs_, waiting_ and nextId_
    std::map<std::string, Entry> jobs_;
    std::deque<std::string> waiting_;
    uint64_t nextId_ = 1;
};

} // namespace vistrel
