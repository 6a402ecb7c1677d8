// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/message_reporter.h"
#include "common/messages.h"

#include <cstdint>

namespace vistrel {

// What the camera options and multiplexer dialogs need of the main window.
// Implemented by CMainDlg; called on the user-interface thread only.
class IDialogHost {
public:
    virtual ~IDialogHost() = default;
    // Writes every setting to the store.
    virtual void SaveSettings() = 0;
    // view 0 keeps the current view; frameSize 0 keeps the single-view size.
    virtual void LayoutPanes(int view, uint32_t frameSize) = 0;
    // Posts a menu command (for example 32777 "&4 Cameras") to the main window.
    virtual void PostCommand(int commandId) = 0;
    // ListInputs of the capture object without a list: -1 without capture or crossbar.
    virtual int VideoInputCount() = 0;
    virtual ThreadId ImageThreadId() const = 0;
    virtual ThreadId ArchiveThreadId() const = 0;
    virtual IMessageReporter& Reporter() = 0;
    // Opens the manual (F1).
    virtual void OpenManual() = 0;
};

} // namespace vistrel
