// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "app/main_dlg.h"
#include "app/setup_window.h"
#include "review/review_window.h"
#include "settings/settings_io.h"
#include "support/fake_worker_factory.h"
#include "support/recording_reporter.h"
#include "support/temp_env.h"
#include "support/window_controls.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QUrl>

#include <memory>
#include <string>
#include <vector>

namespace vistrel::test {

// A main window on its own temporary settings store, with fake workers, a
// reporter that records message boxes instead of showing them, and what the
// desktop would answer (a notification area, a viewer for the manual, the
// end of the event loop) kept here.
class MainWindowTest : public testing::Test {
protected:
    void SetUp() override { qputenv("VISTREL_NO_V4L2", "1"); }

    MainDlgEnvironment environment(std::vector<std::string> arguments = {}, bool trayAvailable = false,
                                   CThreadRegistry* workerRegistry = nullptr)
    {
        MainDlgEnvironment e;
        e.settings = &settings;
        e.registry = workerRegistry ? workerRegistry : &registry;
        e.reporter = &reporter;
        e.workers = &workers;
        e.arguments = std::move(arguments);
        e.trayAvailable = [trayAvailable] { return trayAvailable; };
        e.openUrl = [this](const QUrl& url) {
            opened.push_back(url);
            return desktopOpens;
        };
        e.quit = [this] { ++quits; };
        e.saveSettings = [this](InstanceSettings& s, CRegistryKey& key, int32_t camView, std::optional<bool> videoOn) {
            ++saves;
            return SaveInstanceSettings(s, key, camView, videoOn);
        };
        return e;
    }

    std::unique_ptr<CMainDlg> makeWindow(std::vector<std::string> arguments = {}, bool trayAvailable = false,
                                         CThreadRegistry* workerRegistry = nullptr)
    {
        return std::make_unique<CMainDlg>(environment(std::move(arguments), trayAvailable, workerRegistry));
    }

    TempEnvironment env; // first: every test has its own store, home and locks
    InstanceSettings settings;
    CThreadRegistry registry;
    RecordingReporter reporter;
    FakeWorkerFactory workers;
    std::vector<QUrl> opened;
    bool desktopOpens = true; // the desktop has a viewer for the manual
    int quits = 0;
    int saves = 0; // settings saves so far
};

// The Video Device Setup window the main window made, or null.
inline CModelessDlg* SetupWindow()
{
    CModelessDlg* found = nullptr;
    for (QWidget* window : QApplication::topLevelWidgets()) {
        if (auto* setup = qobject_cast<CModelessDlg*>(window)) {
            EXPECT_EQ(found, nullptr) << "more than one setup window";
            found = setup;
        }
    }
    return found;
}

// The review windows on the screen.
inline std::vector<ReviewWindow*> OpenReviewWindows()
{
    std::vector<ReviewWindow*> open;
    for (QWidget* window : QApplication::topLevelWidgets())
        if (auto* review = qobject_cast<ReviewWindow*>(window); review && review->isVisible())
            open.push_back(review);
    return open;
}

// The item of the View menu that marks the view shown, "" when none does.
inline QString CheckedView(const CMainDlg& window)
{
    for (const QAction* menu : window.menuBar()->actions())
        if (menu->text() == "&View")
            for (const QAction* item : menu->menu()->actions())
                if (item->isChecked())
                    return item->text();
    return {};
}

} // namespace vistrel::test
