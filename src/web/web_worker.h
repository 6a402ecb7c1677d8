// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "web/web_access.h"

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace vistrel {

// Runs the web server's slow and timed work on one thread of its own, so the
// polling thread never waits: password checks, the held answers to failed
// logins, status pushes and the streams' keep-alives.
//
// Lives on its own thread; any thread may Post; its owner stops it.
class WebWorker {
public:
    using Task = std::function<void()>;

    WebWorker();
    ~WebWorker();
    WebWorker(const WebWorker&) = delete;
    WebWorker& operator=(const WebWorker&) = delete;

    // Runs the task at or after `due`, in order of due time; false (and the
    // task is dropped) once Stop has begun.
    bool Post(Task task, WebClock::time_point due = WebClock::time_point());
    // Lets a running task end, drops the waiting ones and joins the thread.
    void Stop();

private:
    void Run();

    std::mutex mutex_; // guards tasks_ and stopping_
    std::condition_variable wake_;
    std::multimap<WebClock::time_point, Task> tasks_;
    bool stopping_ = false;
    std::thread thread_;
};

} // namespace vistrel
