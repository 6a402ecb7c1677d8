// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QProcessEnvironment>
#include <QTemporaryDir>

#include <chrono>
#include <functional>
#include <string>

namespace vistrel::test {

// Points VISTREL_REGISTRY, VISTREL_RUNTIME_DIR and HOME at fresh temporary
// folders for as long as it lives, and restores the old values afterwards.
class TempEnvironment {
public:
    TempEnvironment();
    ~TempEnvironment();
    TempEnvironment(const TempEnvironment&) = delete;
    TempEnvironment& operator=(const TempEnvironment&) = delete;

    QString root() const { return dir_.path(); }
    QString registryDir() const { return dir_.path() + "/registry"; }
    QString runtimeDir() const { return dir_.path() + "/runtime"; }
    QString homeDir() const { return dir_.path() + "/home"; }
    // For running the built recorder: this process's environment on the
    // offscreen platform, without V4L2 devices, with this store and home.
    QProcessEnvironment RecorderEnvironment() const;

private:
    QTemporaryDir dir_;
    QByteArray oldRegistry_, oldRuntime_, oldHome_;
};

// Runs the Qt event loop until pred() holds or the deadline passes; returns pred().
bool waitFor(const std::function<bool()>& pred, std::chrono::milliseconds deadline = std::chrono::seconds(10));

} // namespace vistrel::test
