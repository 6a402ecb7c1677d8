// SPDX-License-Identifier: GPL-3.0-or-later
#include "support/temp_env.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QThread>

namespace vistrel::test {

TempEnvironment::TempEnvironment()
    : oldRegistry_(qgetenv("VISTREL_REGISTRY"))
    , oldRuntime_(qgetenv("VISTREL_RUNTIME_DIR"))
    , oldHome_(qgetenv("HOME"))
{
    QDir().mkpath(registryDir());
    QDir().mkpath(runtimeDir());
    QDir().mkpath(homeDir());
    qputenv("VISTREL_REGISTRY", registryDir().toLocal8Bit());
    qputenv("VISTREL_RUNTIME_DIR", runtimeDir().toLocal8Bit());
    qputenv("HOME", homeDir().toLocal8Bit());
}

TempEnvironment::~TempEnvironment()
{
    qputenv("VISTREL_REGISTRY", oldRegistry_);
    qputenv("VISTREL_RUNTIME_DIR", oldRuntime_);
    qputenv("HOME", oldHome_);
}

bool waitFor(const std::function<bool()>& pred, std::chrono::milliseconds deadline)
{
    QDeadlineTimer timer(deadline.count());
    while (!pred()) {
        if (timer.hasExpired())
            return pred();
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

QProcessEnvironment TempEnvironment::RecorderEnvironment() const
{
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    e.insert("QT_QPA_PLATFORM", "offscreen");
    e.insert("VISTREL_NO_V4L2", "1");
    e.insert("VISTREL_REGISTRY", registryDir());
    e.insert("HOME", homeDir());
    return e;
}

} // namespace vistrel::test
