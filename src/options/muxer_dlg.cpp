// SPDX-License-Identifier: GPL-3.0-or-later
#include "options/muxer_dlg.h"

#include "settings/instance_settings.h"
#include "common/commands.h"
#include "options/dialog_host.h"
#include "options/number_text.h"

#include "ui_muxer_dialog.h"

#include <QKeyEvent>
#include <QRegularExpressionValidator>
#include <QTimer>

#include <array>

namespace vistrel {

namespace {

constexpr int kMinMuxSpeedMs = 100;
constexpr int kMaxMuxSpeedMs = 15000;

} // namespace

CMuxerDlg::CMuxerDlg(IDialogHost& host, InstanceSettings& settings, QWidget* parent)
    : QDialog(parent)
    , ui_(std::make_unique<Ui::MuxerDialog>())
    , host_(host)
    , settings_(settings)
{
    ui_->setupUi(this);
    // A number field: only digits can be typed (pasted or set text is still parsed leniently).
    ui_->muxSpeed->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), ui_->muxSpeed));
    connect(ui_->okButton, &QPushButton::clicked, this, &CMuxerDlg::OnOK);
    connect(ui_->cancelButton, &QPushButton::clicked, this, &QDialog::reject);
}

CMuxerDlg::~CMuxerDlg() = default;

int CMuxerDlg::exec()
{
    if (!initialised_ && !OnInitDialog())
        return QDialog::Rejected;
    return QDialog::exec();
}

void CMuxerDlg::showEvent(QShowEvent* event)
{
    // Shown without exec(): initialise now, and close again when the device
    // cannot multiplex.
    if (!initialised_ && !OnInitDialog())
        QTimer::singleShot(0, this, &QDialog::reject);
    QDialog::showEvent(event);
}

void CMuxerDlg::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_F1) {
        host_.OpenManual();
        return;
    }
    QDialog::keyPressEvent(event);
}

bool CMuxerDlg::OnInitDialog()
{
    initialised_ = true;
    const int inputCount = host_.VideoInputCount();
    if (inputCount < 2) {
        host_.Reporter().ShowMessage("The currently selected video device eithor does not have\nenough input pins to "
                                     "multiplex, or is not Initialized.",
                                     "Cannot Multiplex", MessageIcon::Exclamation);
        return false;
    }

    std::array<int32_t, kCameraCount> inputs{};
    int32_t enableMux = 0;
    int32_t speedMs = 0;
    {
        TimedLock lock(settings_.SettingsLock);
        if (!lock)
            return false; // settings busy: close rather than offer blank controls
        inputs = settings_.MuxerInputs;
        enableMux = settings_.EnableMux;
        speedMs = settings_.MuxerSpeed;
    }

    for (int n = 0; n < kCameraCount; ++n) {
        auto* box = FindControl<QCheckBox>(*this, 1007 + n);
        box->setChecked(inputs[n] != 0);
        box->setEnabled(n < inputCount);
    }
    ui_->enableMux->setChecked(enableMux != 0);
    ui_->muxSpeed->setText(QString::number(speedMs));
    return true;
}

int CMuxerDlg::ChooseViewCommand(bool muxing) const
{
    auto checked = [this](int input) { return FindControl<QCheckBox>(*this, 1006 + input)->isChecked(); };
    if (muxing && (checked(7) || checked(8)))
        return kView8Command;
    if (muxing && (checked(5) || checked(6)))
        return kView6Command;
    if (muxing && (checked(2) || checked(3) || checked(4)))
        return kView4Command;
    return kView1Command;
}

void CMuxerDlg::OnOK()
{
    const long long speedMs = LeadingInteger(ui_->muxSpeed->text().toStdString());
    if (speedMs > kMaxMuxSpeedMs || speedMs < kMinMuxSpeedMs) {
        host_.Reporter().ShowMessage("Mux Speed Cannot be Greater than 15000ms or Less Than 100ms", "Invalid Value",
                                     MessageIcon::Exclamation);
        return;
    }

    // Disabled boxes count too: a stored flag beyond the device's inputs stays in the cycle.
    std::array<int32_t, kCameraCount> inputs{};
    int checkedCount = 0;
    for (int n = 0; n < kCameraCount; ++n) {
        inputs[n] = FindControl<QCheckBox>(*this, 1007 + n)->isChecked() ? 1 : 0;
        checkedCount += inputs[n];
    }
    const bool muxing = ui_->enableMux->isChecked();
    if (muxing && checkedCount < 2) {
        host_.Reporter().ShowMessage("At least 2 Inputs must be selected to Enable Multiplexing", "Invalid Value",
                                     MessageIcon::Exclamation);
        return;
    }

    {
        TimedLock lock(settings_.SettingsLock);
        if (!lock)
            return; // settings busy: nothing stored, the dialog stays open
        settings_.MuxerInputs = inputs;
        settings_.EnableMux = muxing ? 1 : 0;
        settings_.MuxerSpeed = int32_t(speedMs);
    }
    // The view command is queued on the main window and takes effect after this dialog closes.
    host_.PostCommand(ChooseViewCommand(muxing));
    host_.SaveSettings();
    AnnounceSettingsChanged(host_, post_);
    accept();
}

} // namespace vistrel
