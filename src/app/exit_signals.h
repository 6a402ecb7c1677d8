// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>

class QSocketNotifier;

namespace vistrel {

// Turns SIGTERM and SIGINT into a Qt signal on the user-interface thread, so
// that a service manager's stop runs the same exit sequence as "Exit". The
// handler only writes one byte into a pipe (async-signal-safe); a
// QSocketNotifier reads it on the thread that created this object. One
// instance at a time; destroying it restores the previous handlers.
class ExitSignals : public QObject {
    Q_OBJECT
public:
    explicit ExitSignals(QObject* parent = nullptr);
    ~ExitSignals() override;

    // False when the pipe or the handlers could not be set up.
    bool isInstalled() const { return installed_; }

Q_SIGNALS:
    // Emitted once per received signal; the receiver ignores repeats.
    void exitRequested(int signalNumber);

private:
    void readPipe();

    bool installed_ = false;
    QSocketNotifier* notifier_ = nullptr;
};

} // namespace vistrel
