// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "options/dialog_support.h"

#include <QDialog>

#include <memory>

namespace Ui {
class MuxerDialog;
}

namespace vistrel {

class IDialogHost;
struct InstanceSettings;

// The multiplexer options: which video inputs take part in the cycle, whether
// multiplexing is on, and the time each input stays routed. Modal, on the
// user-interface thread; touches the settings only under SettingsLock.
class CMuxerDlg : public QDialog {
    Q_OBJECT
public:
    CMuxerDlg(IDialogHost& host, InstanceSettings& settings, QWidget* parent = nullptr);
    ~CMuxerDlg() override;

    // Returns Rejected at once, without showing, when the device cannot multiplex.
    int exec() override;

    // Reads the settings into the controls. False when the dialog must close
    // as cancelled: the device has fewer than two video inputs (after the
    // "Cannot Multiplex" message), or the settings lock could not be had.
    bool OnInitDialog();
    // Validates, stores, saves and announces; accepts the dialog on success.
    void OnOK();

    void SetThreadPoster(ThreadPoster post) { post_ = std::move(post); }

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    int ChooseViewCommand(bool muxing) const;

    std::unique_ptr<Ui::MuxerDialog> ui_;
    IDialogHost& host_;
    InstanceSettings& settings_;
    ThreadPoster post_ = DefaultThreadPoster();
    bool initialised_ = false;
};

} // namespace vistrel
