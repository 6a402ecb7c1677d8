// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "options/dialog_support.h"

#include <QDialog>

#include <array>
#include <string>

class QCheckBox;
class QLabel;
class QLineEdit;
class QTableWidget;

namespace vistrel {

class IDialogHost;
struct InstanceSettings;

// The storage options: the free space to keep on every disk the archive
// uses ("KeepFreeMB", automatic or a number of MB) and each camera's
// archive cap ("MaxArchiveMB", 0 for none), with the free space, the floor
// and how long each disk lasts as the archive thread last saw them. Modal,
// on the user-interface thread; touches the settings only under SettingsLock.
class CStorageDlg : public QDialog {
    Q_OBJECT
public:
    // The largest number of MB either field takes: 16 TB.
    static constexpr long long kMaxMB = 16777215;

    CStorageDlg(IDialogHost& host, InstanceSettings& settings, QWidget* parent = nullptr);
    ~CStorageDlg() override;

    int exec() override;

    // Store to controls. False when the settings lock could not be had.
    bool OnInitDialog();
    // Checks the fields, stores, saves and announces; accepts the dialog on
    // success. A field that is not a number of MB in range is reported
    // ("Invalid Value") and nothing is stored.
    void OnOK();

    // One line per disk: "Camera A: 41.21 GB free, floor 1.00 GB: ...".
    void SetSpaceText(const std::string& text);
    void SetThreadPoster(ThreadPoster post) { post_ = std::move(post); }

    QLineEdit* keepFreeEdit() const { return keepFree_; }
    QCheckBox* automaticBox() const { return automatic_; }
    QTableWidget* capsTable() const { return caps_; }
    QLabel* spaceLabel() const { return space_; }

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    IDialogHost& host_;
    InstanceSettings& settings_;
    ThreadPoster post_ = DefaultThreadPoster();
    bool initialised_ = false;
    QLineEdit* keepFree_ = nullptr;
    QCheckBox* automatic_ = nullptr;
    QTableWidget* caps_ = nullptr;
    QLabel* space_ = nullptr;
};

} // namespace vistrel
