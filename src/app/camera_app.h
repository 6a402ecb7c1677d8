// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <vector>

namespace vistrel {

class CMainDlg;

// The application object: runs the main window until the exit sequence
// ends, and turns SIGTERM and SIGINT into that same sequence. Runs on the
// user-interface thread, inside a QApplication.
class CCameraApp {
public:
    // The process's exit status: 0 after a normal exit, 1 when the recorder
    // could not start (no instance number free, or `instance`, when not 0,
    // is held by another process) or its last settings save at exit failed.
    int Run(const std::vector<std::string>& arguments, int instance = 0);
};

// Runs `window` as the program does: start-up, then the event loop until
// the exit sequence ends it. 0 after a normal exit, 1 when start-up or the
// exit sequence's settings save failed.
int RunMainWindow(CMainDlg& window);

// Writes first-start settings for `instance` when the store holds none yet:
// capture on on the first device at "320x240 24 bit", camera A with overlay,
// static saving and motion-only archiving under $HOME/Cameras (whose folders
// it creates). Existing settings are never changed. False, with a reason in
// `message`, when the store cannot be written.
bool SeedDefaultSettings(std::string& message, int instance = 1);

} // namespace vistrel
