// SPDX-License-Identifier: GPL-3.0-or-later
#include "options/storage_dlg.h"

#include "options/dialog_host.h"
#include "settings/instance_settings.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableWidget>
#include <QVBoxLayout>

#include <optional>

namespace vistrel {

namespace {

// A whole number of MB from 0 to kMaxMB, blanks around it allowed.
std::optional<uint32_t> ParseMB(const QString& text)
{
    static const QRegularExpression digits(QStringLiteral("^[0-9]{1,9}$"));
    const QString trimmed = text.trimmed();
    if (!digits.match(trimmed).hasMatch())
        return std::nullopt;
    const long long value = trimmed.toLongLong();
    if (value > CStorageDlg::kMaxMB)
        return std::nullopt;
    return uint32_t(value);
}

} // namespace

CStorageDlg::CStorageDlg(IDialogHost& host, InstanceSettings& settings, QWidget* parent)
    : QDialog(parent)
    , host_(host)
    , settings_(settings)
{
    setWindowTitle(QStringLiteral("Storage"));
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    keepFree_ = new QLineEdit(this);
    automatic_ = new QCheckBox(QStringLiteral("&Automatic: the larger of 1024 MB and 2% of each disk"), this);
    form->addRow(QStringLiteral("&Keep free on each disk (MB):"), keepFree_);
    form->addRow(QString(), automatic_);
    layout->addLayout(form);

    layout->addWidget(new QLabel(QStringLiteral("Largest archive of each camera (MB, 0 for no limit):"), this));
    caps_ = new QTableWidget(kCameraCount, 1, this);
    caps_->setHorizontalHeaderLabels({QStringLiteral("Largest archive (MB)")});
    caps_->horizontalHeader()->setStretchLastSection(true);
    for (int camera = 0; camera < kCameraCount; ++camera)
        caps_->setVerticalHeaderItem(camera, new QTableWidgetItem(QStringLiteral("Camera %1").arg(CameraLetter(camera))));
    layout->addWidget(caps_);

    space_ = new QLabel(this);
    space_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(space_);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &CStorageDlg::OnOK);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(automatic_, &QCheckBox::toggled, keepFree_, [this](bool automatic) { keepFree_->setEnabled(!automatic); });
}

CStorageDlg::~CStorageDlg() = default;

int CStorageDlg::exec()
{
    if (!initialised_ && !OnInitDialog())
        return QDialog::Rejected;
    return QDialog::exec();
}

void CStorageDlg::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_F1) {
        host_.OpenManual();
        return;
    }
    QDialog::keyPressEvent(event);
}

bool CStorageDlg::OnInitDialog()
{
    initialised_ = true;
    uint32_t keepFree = 0;
    std::array<uint32_t, kCameraCount> caps{};
    {
        TimedLock lock(settings_.SettingsLock);
        if (!lock)
            return false; // settings busy: close rather than offer blank controls
        keepFree = settings_.KeepFreeMB;
        caps = settings_.MaxArchiveMB;
    }
    const bool automatic = keepFree == kKeepFreeAutomatic;
    automatic_->setChecked(automatic);
    keepFree_->setEnabled(!automatic);
    keepFree_->setText(automatic ? QStringLiteral("1024") : QString::number(keepFree));
    for (int camera = 0; camera < kCameraCount; ++camera)
        caps_->setItem(camera, 0, new QTableWidgetItem(QString::number(std::min<long long>(caps[camera], kMaxMB))));
    return true;
}

void CStorageDlg::SetSpaceText(const std::string& text)
{
    space_->setText(QString::fromStdString(text));
}

void CStorageDlg::OnOK()
{
    uint32_t keepFree = kKeepFreeAutomatic;
    if (!automatic_->isChecked()) {
        const std::optional<uint32_t> value = ParseMB(keepFree_->text());
        if (!value) {
            host_.Reporter().ShowMessage("Keep Free Must be a Whole Number of MB from 0 to 16777215", "Invalid Value",
                                         MessageIcon::Exclamation);
            return;
        }
        keepFree = *value;
    }
    std::array<uint32_t, kCameraCount> caps{};
    for (int camera = 0; camera < kCameraCount; ++camera) {
        const QTableWidgetItem* item = caps_->item(camera, 0);
        const std::optional<uint32_t> value = ParseMB(item ? item->text() : QString());
        if (!value) {
            host_.Reporter().ShowMessage(std::string("Largest Archive of Camera ") + CameraLetter(camera)
                                             + " Must be a Whole Number of MB from 0 to 16777215",
                                         "Invalid Value", MessageIcon::Exclamation);
            return;
        }
        caps[camera] = *value;
    }

    {
        TimedLock lock(settings_.SettingsLock);
        if (!lock)
            return; // settings busy: nothing stored, the dialog stays open
        settings_.KeepFreeMB = keepFree;
        settings_.MaxArchiveMB = caps;
    }
    host_.SaveSettings();
    AnnounceSettingsChanged(host_, post_);
    accept();
}

} // namespace vistrel
