// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/camera_app.h"

#include "app/exit_signals.h"
#include "app/main_dlg.h"
#include "settings/settings_io.h"
#include "resources/resources.h"

#include <QApplication>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace vistrel {

int CCameraApp::Run(const std::vector<std::string>& arguments, int instance)
{
    InitResources();
    // The main window hides instead of closing, and dialogs close over a
    // hidden window: only the exit sequence ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(ApplicationIcon());

    ExitSignals signals;
    MainDlgEnvironment environment;
    environment.arguments = arguments;
    environment.instance = instance;
    CMainDlg mainWindow(std::move(environment));
    QObject::connect(&signals, &ExitSignals::exitRequested, &mainWindow, [&mainWindow] { mainWindow.StartExit(); });

    return RunMainWindow(mainWindow);
}

int RunMainWindow(CMainDlg& window)
{
    if (!window.OnInitDialog())
        return 1;
    // An exit that finished inside a nested loop during start-up has asked
    // that loop to end already; a new loop would never be asked again. One
    // still under way (it waits for a box to close) ends the loop below.
    if (window.exitFinished())
        return window.finalSaveFailed() ? 1 : 0;
    if (!window.exitStarted())
        window.show();
    QApplication::exec();
    const int status = window.finalSaveFailed() ? 1 : 0;
    if (window.workerHung()) {
        // The settings are saved; destroying the window a hung worker still
        // updates would pull it out from under that worker.
        std::fflush(nullptr);
        std::_Exit(status);
    }
    return status;
}

bool SeedDefaultSettings(std::string& message, int instance)
{
    const int32_t kInstance = instance;
    CRegistryKey key;
    key.SetRootKey(RegistryRoot::HKEY_LOCAL_MACHINE);
    if (key.SetKey(ProcessKeyPath(kInstance), false)) {
        for (const char* name : {"CamView", "Device", "InputPin", "VideoFormat", "VideoOn", "MuxerSpeed",
                                 "EnableMux", "SaveEvery"}) {
            if (key.ValueType(name) != 0) {
                message = "Settings of instance " + std::to_string(kInstance) + " exist already; left unchanged.";
                return true;
            }
        }
    }

    InstanceSettings settings;
    settings.InstanceNumber = kInstance;
    int32_t camView = 1;
    LoadInstanceSettings(settings, key, camView); // fills the path defaults under $HOME
    {
        TimedLock lock(settings.SettingsLock);
        settings.Device = 0;
        settings.InputPin = 0;
        settings.VideoFormat = "320x240 24 bit";
        settings.EnableOverlay[0] = 1;
        settings.EnableStaticSave[0] = 1;
        settings.EnableArchving[0] = 1;
        settings.EnableArchiveMotion[0] = 1;
    }
    const SaveStatus saved = SaveInstanceSettings(settings, key, camView, true);
    for (const KeptAsideFile& kept : saved.keptAside)
        std::fprintf(stderr, "Settings file %s could not be read (%s); kept as %s\n", kept.file.c_str(),
                     kept.reason.c_str(), kept.keptAs.c_str());
    if (!saved.ok()) {
        message = "Cannot write the settings store: " + SaveFailureText(saved);
        return false;
    }

    // The writers create no folders: make the two of camera A.
    std::filesystem::path staticFile;
    std::filesystem::path archiveFolder;
    {
        TimedLock lock(settings.SettingsLock);
        staticFile = settings.StaticPathFile[0];
        archiveFolder = settings.ArchivePath[0];
    }
    std::error_code error;
    std::filesystem::create_directories(staticFile.parent_path(), error);
    if (!error)
        std::filesystem::create_directories(archiveFolder, error);
    if (error) {
        message = "Cannot create the camera folders: " + error.message();
        return false;
    }

    CRegistryKey check;
    check.SetRootKey(RegistryRoot::HKEY_LOCAL_MACHINE);
    if (!check.SetKey(ProcessKeyPath(kInstance), false) || check.ReadInt("VideoOn", 0) != 1) {
        message = "Cannot write the settings store " + check.Store().folder().string();
        return false;
    }
    message = "Seeded the settings of instance " + std::to_string(kInstance) + ".";
    return true;
}

} // namespace vistrel
