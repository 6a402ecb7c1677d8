// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/web_exports.h"

#include "common/task.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <random>
#include <system_error>

namespace vistrel {

namespace fs = std::filesystem;

namespace {

// Letters and digits only, unguessable, so one viewer cannot fetch another's file by counting.
std::string NewId(uint64_t number)
{
    static constexpr char kDigits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device random;
    std::string id = "x" + std::to_string(number);
    for (int i = 0; i < 16; ++i)
        id += kDigits[random() % (sizeof kDigits - 1)];
    return id;
}

} // namespace

WebExports::WebExports(fs::path folder, std::chrono::milliseconds keepFor, QObject* parent)
    : QObject(parent)
    , folder_(std::move(folder))
    , keepFor_(keepFor)
{
    std::error_code ec;
    fs::remove_all(folder_, ec);
    expiry_.setSingleShot(true);
    connect(&expiry_, &QTimer::timeout, this, &WebExports::RemoveExpired);
}

WebExports::~WebExports()
{
    running_.reset(); // cancels and waits; its half-written file goes with it
    std::error_code ec;
    fs::remove_all(folder_, ec);
}

int WebExports::Add(ExportJob job, WebExportFormat format, std::string* id)
{
    std::error_code ec;
    fs::create_directories(folder_, ec);
    if (ec)
        return -ec.value();
    ::chmod(folder_.c_str(), 0700);
    {
        std::lock_guard lock(jobsMutex_);
        if (waiting_.size() >= kMaxWaiting)
            return -EBUSY;
        *id = NewId(nextId_++);
        Entry entry;
        entry.state.format = format;
        job.output = (folder_ / (*id + (format == WebExportFormat::Mp4 ? ".mp4" : ".zip"))).string();
        job.format = format == WebExportFormat::Mp4 ? ExportFormat::Mp4 : ExportFormat::Zip;
        entry.job = std::move(job);
        jobs_.emplace(*id, std::move(entry));
        waiting_.push_back(*id);
    }
    QMetaObject::invokeMethod(this, &WebExports::StartNext, Qt::QueuedConnection);
    return 0;
}

bool WebExports::Find(const std::string& id, WebExportJob* job)
{
    std::lock_guard lock(jobsMutex_);
    const auto it = jobs_.find(id);
    if (it == jobs_.end())
        return false;
    *job = it->second.state;
    return true;
}

void WebExports::StartNext()
{
    if (running_)
        return;
    ExportJob job;
    {
        std::lock_guard lock(jobsMutex_);
        if (waiting_.empty())
            return;
        runningId_ = waiting_.front();
        waiting_.pop_front();
        Entry& entry = jobs_.at(runningId_);
        entry.state.state = WebExportState::Running;
        job = entry.job;
    }
    auto result = std::make_shared<ExportResult>();
    running_ = std::make_unique<Task>([job = std::move(job), result](const TaskProgress& progress,
                                                                      const std::atomic<bool>& cancel) {
        // Niced on this thread alone: the recorder's own threads keep theirs.
        ::setpriority(PRIO_PROCESS, ::gettid(), 19);
        *result = RunExport(job, progress, cancel);
    });
    const std::string id = runningId_;
    connect(running_.get(), &Task::progress, this, [this, id](qint64 done, qint64 total) {
        std::lock_guard lock(jobsMutex_);
        if (const auto it = jobs_.find(id); it != jobs_.end() && total > 0)
            it->second.state.progressPercent = int(done * 100 / total);
    });
    connect(running_.get(), &Task::finished, this, [this, id, result] {
        {
            std::lock_guard lock(jobsMutex_);
            if (const auto it = jobs_.find(id); it != jobs_.end()) {
                WebExportJob& state = it->second.state;
                it->second.doneAt = std::chrono::steady_clock::now();
                if (result->status == ExportResult::Status::Done) {
                    state.state = WebExportState::Done;
                    state.progressPercent = 100;
                    state.file = it->second.job.output;
                } else {
                    state.state = WebExportState::Failed;
                    state.error = result->status == ExportResult::Status::Cancelled ? "The export was cancelled."
                                                                                      : "The export failed.";
                }
                it->second.job.frames.clear();
            }
        }
        Finished();
    });
    running_->Start();
}

void WebExports::Finished()
{
    // Deleted later, as this runs inside the task's own signal; by this
    // object at the latest.
    Task* done = running_.release();
    done->setParent(this);
    done->deleteLater();
    runningId_.clear();
    if (!expiry_.isActive())
        expiry_.start(keepFor_);
    StartNext();
}

void WebExports::RemoveExpired()
{
    const auto now = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point nextDue{};
    std::vector<fs::path> remove;
    {
        std::lock_guard lock(jobsMutex_);
        for (auto it = jobs_.begin(); it != jobs_.end();) {
            const Entry& entry = it->second;
            const bool over = entry.state.state == WebExportState::Done || entry.state.state == WebExportState::Failed;
            if (over && now - entry.doneAt >= keepFor_) {
                remove.push_back(entry.job.output);
                it = jobs_.erase(it);
                continue;
            }
            if (over && (nextDue == std::chrono::steady_clock::time_point{} || entry.doneAt + keepFor_ < nextDue))
                nextDue = entry.doneAt + keepFor_;
            ++it;
        }
    }
    for (const fs::path& file : remove) {
        std::error_code ec;
        fs::remove(file, ec);
    }
    if (nextDue != std::chrono::steady_clock::time_point{})
        expiry_.start(std::max(std::chrono::milliseconds(1),
                               std::chrono::duration_cast<std::chrono::milliseconds>(nextDue - now)));
}

} // namespace vistrel
