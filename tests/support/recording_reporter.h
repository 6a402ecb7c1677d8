// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/message_reporter.h"

#include <mutex>
#include <string>
#include <vector>

namespace vistrel::test {

// Records every message box instead of showing it. Any thread may call it.
class RecordingReporter : public IMessageReporter {
public:
    struct Message {
        std::string text, caption;
        MessageIcon icon;
    };
    void ShowMessage(const std::string& text, const std::string& caption, MessageIcon icon) override
    {
        std::lock_guard lock(mutex_);
        messages_.push_back({text, caption, icon});
    }
    std::vector<Message> messages() const
    {
        std::lock_guard lock(mutex_);
        return messages_;
    }
    void clear()
    {
        std::lock_guard lock(mutex_);
        messages_.clear();
    }

private:
    mutable std::mutex mutex_; // guards messages_
    std::vector<Message> messages_;
};

} // namespace vistrel::test
