#pragma once

#include "app/worker_factory.h"
#include "common/message_reporter.h"

#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace vistrel::test {

// Records every message box instead of showing it.
class RecordingReporter : public IMessageReporter {
public:
    struct Message {
        std::string text;
        std::string caption;
        MessageIcon icon;
    };
    void ShowMessage(const std::string& text, const std::string& caption, MessageIcon icon) override
    {
        messages.push_back({text, caption, icon});
    }
    std::vector<Message> messages;
};

// What the fake workers did, in the order it happened, across threads.
class WorkerLog {
public:
    void Add(const std::string& event);
    std::vector<std::string> Events() const;
    // Position of the first such event, -1 when none.
    int IndexOf(const std::string& event) const;
    bool Contains(const std::string& event) const { return IndexOf(event) >= 0; }

private:
    mutable std::mutex mutex_; // guards events_
    std::vector<std::string> events_;
};

// A worker that only logs "<name> start", "<name> settings" and
// "<name> stop"; on WM_THREAD_STOP it runs onStop first and then ends.
class FakeWorker : public CWorkerThread {
public:
    FakeWorker(Group group, std::string name, WorkerLog& log, CThreadRegistry& registry,
               std::function<void()> onStop = {});
    ~FakeWorker() override;

protected:
    void OnThreadStart() override;
    void OnThreadMessage(int message, quintptr wParam, qintptr lParam) override;
    void OnTimer() override {}

private:
    std::string name_;
    WorkerLog& log_;
    std::function<void()> onStop_;
};

// Makes FakeWorkers named "archive" and "image".
class FakeWorkerFactory : public IWorkerFactory {
public:
    std::unique_ptr<CWorkerThread> CreateArchiveThread(IRecorderDisplay& display, InstanceSettings& settings,
                                                       CThreadRegistry& registry) override;
    std::unique_ptr<CWorkerThread> CreateImageThread(IRecorderDisplay& display, IVideoSource& video,
                                                     InstanceSettings& settings, CThreadRegistry& registry) override;

    WorkerLog log;
    int created = 0;
    std::function<void()> onArchiveStop; // runs on the archive worker as it stops
    std::function<void()> onImageStop;   // runs on the image worker as it stops
};

} // namespace vistrel::test
