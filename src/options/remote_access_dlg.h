// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "web/web_settings.h"

#include <QDialog>

#include <filesystem>
#include <memory>
#include <string>

namespace Ui {
class RemoteAccessDialog;
}

namespace vistrel {

class IDialogHost;

// The Remote Access dialog: this instance's web server settings (on or off,
// port, bind address, user and password, TLS with chosen files or the
// self-signed certificate, whose fingerprint it shows) and what the server
// is doing now. OK checks every field and, only when all hold, writes the
// Web key; otherwise an "Invalid Value" box says why and nothing is written.
// The password is stored only as its hash; an empty password field keeps the
// stored one. Modal, on the user-interface thread.
class CRemoteAccessDlg : public QDialog {
    Q_OBJECT
public:
    // `serverState` is one sentence about the running server; `storeFolder`
    // the settings store, where the self-signed certificate is kept.
    CRemoteAccessDlg(IDialogHost& host, int instance, std::filesystem::path storeFolder, const std::string& serverState,
                     QWidget* parent = nullptr);
    ~CRemoteAccessDlg() override;

    // Validates and writes; accepts the dialog when the key was written.
    void OnOK();

Q_SIGNALS:
    // The key was written: the recorder reads it again now.
    void settingsWritten();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void ShowFingerprint();
    void ShowInvalid(const std::string& text);

    std::unique_ptr<Ui::RemoteAccessDialog> ui_;
    IDialogHost& host_;
    const int instance_;
    const std::filesystem::path storeFolder_;
    WebSettings stored_;
};

} // namespace vistrel
