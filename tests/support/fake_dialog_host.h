// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "options/dialog_host.h"
#include "options/dialog_support.h"
#include "support/recording_reporter.h"

#include <utility>
#include <vector>

namespace vistrel::test {

// Stands in for the main window: records what the dialogs ask of it, and
// the message boxes they show through it.
class FakeDialogHost : public IDialogHost {
public:
    void SaveSettings() override { ++saves; }
    void LayoutPanes(int view, uint32_t frameSize) override { layouts.emplace_back(view, frameSize); }
    void PostCommand(int commandId) override { commands.push_back(commandId); }
    int VideoInputCount() override { return inputCount; }
    ThreadId ImageThreadId() const override { return imageThread; }
    ThreadId ArchiveThreadId() const override { return archiveThread; }
    IMessageReporter& Reporter() override { return reporter; }
    void OpenManual() override { ++manualOpened; }

    // Records posted thread messages in order instead of delivering them.
    ThreadPoster Poster()
    {
        return [this](ThreadId id, int message, quintptr, qintptr) {
            posts.emplace_back(id, message);
            return true;
        };
    }

    RecordingReporter reporter;
    int inputCount = 4;
    ThreadId imageThread = 101, archiveThread = 202;
    int saves = 0, manualOpened = 0;
    std::vector<std::pair<int, uint32_t>> layouts;
    std::vector<int> commands;
    std::vector<std::pair<ThreadId, int>> posts;
};

} // namespace vistrel::test
