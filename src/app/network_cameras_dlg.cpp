// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/network_cameras_dlg.h"

#include "capture/network_camera_store.h"
#include "settings/reg_file.h"

#include "ui_network_cameras_dialog.h"

#include <QKeyEvent>

#include <cstring>

namespace vistrel {

namespace {

constexpr char kInvalidValue[] = "Invalid Value";

} // namespace

CNetworkCamerasDlg::CNetworkCamerasDlg(IMessageReporter& reporter, std::filesystem::path storeFolder,
                                       std::function<void()> openManual, QWidget* parent)
    : QDialog(parent)
    , ui_(std::make_unique<Ui::NetworkCamerasDialog>())
    , reporter_(reporter)
    , store_(std::move(storeFolder))
    , openManual_(std::move(openManual))
{
    ui_->setupUi(this);
    connect(ui_->cameraList, &QListWidget::currentRowChanged, this, &CNetworkCamerasDlg::OnCameraChosen);
    connect(ui_->newButton, &QPushButton::clicked, this, &CNetworkCamerasDlg::OnNew);
    connect(ui_->saveButton, &QPushButton::clicked, this, &CNetworkCamerasDlg::OnSave);
    connect(ui_->removeButton, &QPushButton::clicked, this, &CNetworkCamerasDlg::OnRemove);
    connect(ui_->closeButton, &QPushButton::clicked, this, &QDialog::accept);
    Reload({});
}

CNetworkCamerasDlg::~CNetworkCamerasDlg() = default;

void CNetworkCamerasDlg::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_F1 && openManual_) {
        openManual_();
        return;
    }
    QDialog::keyPressEvent(event);
}

void CNetworkCamerasDlg::Reload(const std::string& chosen)
{
    cameras_ = ReadNetworkCameras(store_);
    const QSignalBlocker quiet(ui_->cameraList);
    ui_->cameraList->clear();
    int row = -1;
    for (size_t i = 0; i < cameras_.size(); ++i) {
        ui_->cameraList->addItem(QString::fromStdString(cameras_[i].name));
        if (cameras_[i].name == chosen)
            row = int(i);
    }
    ui_->cameraList->setCurrentRow(row);
    if (row >= 0) {
        editing_ = chosen;
        ShowFields(cameras_[size_t(row)]);
    } else {
        OnNew();
    }
}

void CNetworkCamerasDlg::OnCameraChosen(int row)
{
    if (row < 0 || row >= int(cameras_.size()))
        return;
    editing_ = cameras_[size_t(row)].name;
    ShowFields(cameras_[size_t(row)]);
}

void CNetworkCamerasDlg::ShowFields(const NetworkCamera& camera)
{
    ui_->nameEdit->setText(QString::fromStdString(camera.name));
    ui_->urlEdit->setText(QString::fromStdString(camera.url));
    ui_->userEdit->setText(QString::fromStdString(camera.user));
    ui_->passwordEdit->setText(QString::fromStdString(camera.password));
    // A stored number that is no transport shows none, and is refused if saved so.
    ui_->transportList->setCurrentIndex(camera.transport < ui_->transportList->count() ? camera.transport : -1);
    ui_->removeButton->setEnabled(true);
}

NetworkCamera CNetworkCamerasDlg::FieldsCamera() const
{
    NetworkCamera camera;
    // Blanks around a pasted name or URL are no part of it; a password keeps
    // every character.
    camera.name = ui_->nameEdit->text().trimmed().toStdString();
    camera.url = ui_->urlEdit->text().trimmed().toStdString();
    camera.user = ui_->userEdit->text().toStdString();
    camera.password = ui_->passwordEdit->text().toStdString();
    camera.transport = ui_->transportList->currentIndex();
    return camera;
}

void CNetworkCamerasDlg::OnNew()
{
    const QSignalBlocker quiet(ui_->cameraList);
    ui_->cameraList->setCurrentRow(-1);
    editing_.clear();
    ShowFields(NetworkCamera{});
    ui_->removeButton->setEnabled(false);
    ui_->nameEdit->setFocus();
}

void CNetworkCamerasDlg::OnSave()
{
    const NetworkCamera camera = FieldsCamera();
    if (const NetworkCameraError error = ValidateNetworkCamera(camera); error != NetworkCameraError::None) {
        reporter_.ShowMessage(NetworkCameraErrorText(error), kInvalidValue, MessageIcon::Exclamation);
        return;
    }
    // Against the store as it is now: another instance may have added one.
    for (const NetworkCamera& other : ReadNetworkCameras(store_)) {
        if (NamesEqual(other.name, camera.name) && !NamesEqual(other.name, editing_)) {
            reporter_.ShowMessage("Another camera is named \"" + other.name
                                      + "\" already. Names must differ in more than letter case.",
                                  kInvalidValue, MessageIcon::Exclamation);
            return;
        }
    }
    if (const int error = SaveNetworkCamera(store_, camera, editing_); error != 0) {
        reporter_.ShowMessage(std::string("The camera could not be saved: ") + std::strerror(-error),
                              "Network Cameras", MessageIcon::Error);
        return; // the fields stay as typed, to try again
    }
    storeChanged_ = true;
    Reload(camera.name);
}

void CNetworkCamerasDlg::OnRemove()
{
    if (editing_.empty())
        return;
    if (const int error = RemoveNetworkCamera(store_, editing_); error != 0 && error != -ENOENT) {
        reporter_.ShowMessage(std::string("The camera could not be removed: ") + std::strerror(-error),
                              "Network Cameras", MessageIcon::Error);
        return;
    }
    storeChanged_ = true;
    Reload({});
}

} // namespace vistrel
