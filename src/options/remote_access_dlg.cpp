// SPDX-License-Identifier: GPL-3.0-or-later
#include "options/remote_access_dlg.h"

#include "options/dialog_host.h"
#include "settings/registry_key.h"
#include "web/password_hash.h"
#include "web/tls_identity.h"

#include "ui_remote_access_dialog.h"

#include <QKeyEvent>
#include <QRegularExpressionValidator>

#include <sodium.h>

namespace vistrel {

CRemoteAccessDlg::CRemoteAccessDlg(IDialogHost& host, int instance, std::filesystem::path storeFolder,
                                   const std::string& serverState, QWidget* parent)
    : QDialog(parent)
    , ui_(std::make_unique<Ui::RemoteAccessDialog>())
    , host_(host)
    , instance_(instance)
    , storeFolder_(std::move(storeFolder))
{
    ui_->setupUi(this);
    ui_->port->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]{0,5}"), ui_->port));

    CRegistryKey key(storeFolder_);
    stored_ = ReadWebSettings(key, instance_);
    ui_->enable->setChecked(stored_.enable);
    ui_->port->setText(QString::number(stored_.port));
    ui_->bindAddress->setText(QString::fromStdString(stored_.bind));
    ui_->user->setText(QString::fromStdString(stored_.user));
    ui_->password->setPlaceholderText(stored_.passwordHash.empty() ? QStringLiteral("none set")
                                                                   : QStringLiteral("unchanged"));
    ui_->passwordAgain->setPlaceholderText(ui_->password->placeholderText());
    ui_->tls->setChecked(stored_.tls);
    ui_->certFile->setText(QString::fromStdString(stored_.certFile));
    ui_->keyFile->setText(QString::fromStdString(stored_.keyFile));
    ui_->state->setText(QString::fromStdString(serverState));
    ShowFingerprint();

    connect(ui_->tls, &QCheckBox::toggled, this, &CRemoteAccessDlg::ShowFingerprint);
    connect(ui_->certFile, &QLineEdit::editingFinished, this, &CRemoteAccessDlg::ShowFingerprint);
    connect(ui_->keyFile, &QLineEdit::editingFinished, this, &CRemoteAccessDlg::ShowFingerprint);
    connect(ui_->okButton, &QPushButton::clicked, this, &CRemoteAccessDlg::OnOK);
    connect(ui_->cancelButton, &QPushButton::clicked, this, &QDialog::reject);
}

CRemoteAccessDlg::~CRemoteAccessDlg() = default;

void CRemoteAccessDlg::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_F1) {
        host_.OpenManual();
        return;
    }
    QDialog::keyPressEvent(event);
}

// The certificate the server presents with TLS on: the chosen files', or the
// self-signed one, made here on first use so the user can note its
// fingerprint before any browser sees it.
void CRemoteAccessDlg::ShowFingerprint()
{
    if (!ui_->tls->isChecked()) {
        ui_->fingerprint->setText(QStringLiteral("(TLS is off)"));
        return;
    }
    const std::string certFile = ui_->certFile->text().trimmed().toStdString();
    const std::string keyFile = ui_->keyFile->text().trimmed().toStdString();
    TlsIdentity identity;
    int result = -EINVAL;
    if (certFile.empty() && keyFile.empty())
        result = LoadOrMakeSelfSigned(storeFolder_, instance_, &identity);
    else if (!certFile.empty() && !keyFile.empty())
        result = LoadTlsFiles(certFile, keyFile, &identity);
    const std::string fingerprint = result == 0 ? CertificateFingerprint(identity.certificatePem) : std::string();
    ui_->fingerprint->setText(fingerprint.empty() ? QStringLiteral("(no certificate)")
                                                  : QString::fromStdString(fingerprint));
}

void CRemoteAccessDlg::ShowInvalid(const std::string& text)
{
    host_.Reporter().ShowMessage(text, "Invalid Value", MessageIcon::Exclamation);
}

void CRemoteAccessDlg::OnOK()
{
    WebSettings settings = stored_;
    settings.enable = ui_->enable->isChecked();
    bool portOk = false;
    const int port = ui_->port->text().toInt(&portOk);
    if (!portOk || port < 1 || port > 65535) {
        ShowInvalid(WebSettingsProblemText(WebSettingsProblem::BadPort));
        return;
    }
    settings.port = port;
    settings.bind = ui_->bindAddress->text().trimmed().toStdString();
    settings.user = ui_->user->text().toStdString();
    settings.tls = ui_->tls->isChecked();
    settings.certFile = ui_->certFile->text().trimmed().toStdString();
    settings.keyFile = ui_->keyFile->text().trimmed().toStdString();

    std::string password = ui_->password->text().toStdString();
    std::string again = ui_->passwordAgain->text().toStdString();
    const bool same = password == again;
    sodium_memzero(again.data(), again.size());
    if (!same) {
        sodium_memzero(password.data(), password.size());
        ShowInvalid("The two passwords differ.");
        return;
    }
    // Checked before hashing, with a stand-in for a new password's hash.
    WebSettings checked = settings;
    if (!password.empty())
        checked.passwordHash = "new";
    if (const WebSettingsProblem problem = CheckWebSettings(checked); problem != WebSettingsProblem::None) {
        sodium_memzero(password.data(), password.size());
        ShowInvalid(WebSettingsProblemText(problem));
        return;
    }
    if (settings.tls && !settings.certFile.empty()) {
        TlsIdentity identity;
        if (LoadTlsFiles(settings.certFile, settings.keyFile, &identity) != 0) {
            sodium_memzero(password.data(), password.size());
            ShowInvalid("The certificate and key files cannot be read as a certificate and its key.");
            return;
        }
    }
    if (!password.empty()) {
        settings.passwordHash = HashPassword(password);
        sodium_memzero(password.data(), password.size());
        if (settings.passwordHash.empty()) {
            ShowInvalid("The password could not be stored (out of memory).");
            return;
        }
    }

    CRegistryKey key(storeFolder_);
    if (!WriteWebSettings(key, instance_, settings)) {
        host_.Reporter().ShowMessage("The remote access settings could not be written to the settings store.",
                                     "Remote Access", MessageIcon::Error);
        return;
    }
    Q_EMIT settingsWritten();
    accept();
}

} // namespace vistrel
