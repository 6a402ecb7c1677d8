#pragma once

#include "options/dialog_host.h"
#include "options/dialog_support.h"

#include <string>
#include <utility>
#include <vector>

namespace vistrel::test {

struct ShownMessage {
    std::string text, caption;
    MessageIcon icon;
};

// Stands in for the main window: records what the dialogs ask of it.
class FakeDialogHost : public IDialogHost, public IMessageReporter {
public:
    void SaveSettings() override { ++saves; }
    void LayoutPanes(int view, uint32_t frameSize) override { layouts.emplace_back(view, frameSize); }
    void PostCommand(int commandId) override { commands.push_back(commandId); }
    int VideoInputCount() override { return inputCount; }
    ThreadId ImageThreadId() const override { return imageThread; }
    ThreadId ArchiveThreadId() const override { return archiveThread; }
    IMessageReporter& Reporter() override { return *this; }
    void OpenManual() override { ++manualOpened; }
    void ShowMessage(const std::string& text, const std::string& caption, MessageIcon icon) override
    {
        messages.push_back({text, caption, icon});
    }

    // Records posted thread messages in order instead of delivering them.
    ThreadPoster Poster()
    {
        return [this](ThreadId id, int message, quintptr, qintptr) {
            posts.emplace_back(id, message);
            return true;
        };
    }

    int inputCount = 4;
    ThreadId imageThread = 101, archiveThread = 202;
    int saves = 0, manualOpened = 0;
    std::vector<std::pair<int, uint32_t>> layouts;
    std::vector<int> commands;
    std::vector<ShownMessage> messages;
    std::vector<std::pair<ThreadId, int>> posts;
};

} // namespace vistrel::test
