// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/exit_signals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace vistrel {

namespace {

int pipeFds[2] = {-1, -1};
struct sigaction oldTerm {};
struct sigaction oldInt {};

void OnSignal(int signalNumber)
{
    const int savedErrno = errno;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    // A full pipe means a stop is already on its way: dropping the byte is fine.
    [[maybe_unused]] const ssize_t written = ::write(pipeFds[1], &byte, 1);
    errno = savedErrno;
}

} // namespace

ExitSignals::ExitSignals(QObject* parent)
    : QObject(parent)
{
    if (pipeFds[0] >= 0)
        return; // another instance owns the handlers
    if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        pipeFds[0] = pipeFds[1] = -1;
        return;
    }
    notifier_ = new QSocketNotifier(pipeFds[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &ExitSignals::readPipe);

    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    installed_ = ::sigaction(SIGTERM, &action, &oldTerm) == 0 && ::sigaction(SIGINT, &action, &oldInt) == 0;
}

ExitSignals::~ExitSignals()
{
    if (!notifier_)
        return;
    ::sigaction(SIGTERM, &oldTerm, nullptr);
    ::sigaction(SIGINT, &oldInt, nullptr);
    delete notifier_;
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    pipeFds[0] = pipeFds[1] = -1;
}

void ExitSignals::readPipe()
{
    unsigned char bytes[16];
    ssize_t count;
    while ((count = ::read(pipeFds[0], bytes, sizeof bytes)) > 0) {
        for (ssize_t i = 0; i < count; ++i)
            Q_EMIT exitRequested(bytes[i]);
    }
}

} // namespace vistrel
