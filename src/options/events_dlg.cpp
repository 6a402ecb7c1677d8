// SPDX-License-Identifier: GPL-3.0-or-later
#include "options/events_dlg.h"

#include "options/dialog_host.h"
#include "events/hook_runner.h" // ParseEdgeList
#include "settings/instance_settings.h" // CameraLetter
#include "settings/registry_key.h"
#include "settings/settings_io.h"

#include "ui_events_dialog.h"

#include <QCheckBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>

#include <bitset>
#include <cstdint>

namespace vistrel {

namespace {

constexpr int kEdgeColumns = 2;

void DigitsOnly(QLineEdit* edit)
{
    edit->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), edit));
}

} // namespace

CEventsDlg::CEventsDlg(IDialogHost& host, int instance, std::function<void()> committed, QWidget* parent)
    : QDialog(parent)
    , ui_(std::make_unique<Ui::EventsDialog>())
    , host_(host)
    , instance_(instance)
    , committed_(std::move(committed))
{
    ui_->setupUi(this);
    for (int e = 0; e < kEdgeKindCount; ++e) {
        const QString edge = QString::fromLatin1(EdgeName(EdgeKind(e)));
        auto* box = new QCheckBox(edge, ui_->hookEventsGroup);
        box->setObjectName(edge);
        static_cast<QGridLayout*>(ui_->hookEventsGroup->layout())->addWidget(box, e / kEdgeColumns, e % kEdgeColumns);
        edgeBoxes_[size_t(e)] = box;
    }
    auto* cameras = static_cast<QGridLayout*>(ui_->camerasGroup->layout());
    cameras->addWidget(new QLabel(QStringLiteral("Notify on the desktop"), ui_->camerasGroup), 0, 1);
    cameras->addWidget(new QLabel(QStringLiteral("Gap joining motion (s)"), ui_->camerasGroup), 0, 2);
    for (int k = 0; k < kCameraCount; ++k) {
        cameras->addWidget(new QLabel(QStringLiteral("Camera %1").arg(CameraLetter(k)), ui_->camerasGroup), k + 1, 0);
        notifyBoxes_[size_t(k)] = new QCheckBox(ui_->camerasGroup);
        notifyBoxes_[size_t(k)]->setObjectName(QStringLiteral("notify%1").arg(CameraLetter(k)));
        cameras->addWidget(notifyBoxes_[size_t(k)], k + 1, 1);
        gapEdits_[size_t(k)] = new QLineEdit(ui_->camerasGroup);
        gapEdits_[size_t(k)]->setObjectName(QStringLiteral("gap%1").arg(CameraLetter(k)));
        DigitsOnly(gapEdits_[size_t(k)]);
        cameras->addWidget(gapEdits_[size_t(k)], k + 1, 2);
    }
    DigitsOnly(ui_->mqttPort);
    DigitsOnly(ui_->hookTimeout);
    connect(ui_->okButton, &QPushButton::clicked, this, &CEventsDlg::OnOK);
    connect(ui_->cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    OnInitDialog();
}

CEventsDlg::~CEventsDlg() = default;

void CEventsDlg::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_F1) {
        host_.OpenManual();
        return;
    }
    QDialog::keyPressEvent(event);
}

void CEventsDlg::OnInitDialog()
{
    CRegistryKey key;
    const EventsSettings s = ReadEventsSettings(key, instance_);
    ui_->mqttHost->setText(QString::fromStdString(s.mqttHost));
    ui_->mqttPort->setText(QString::number(s.mqttPort));
    ui_->mqttUser->setText(QString::fromStdString(s.mqttUser));
    storedPassword_ = s.mqttPassword;
    ui_->mqttPassword->clear();
    ui_->mqttPassword->setPlaceholderText(storedPassword_.empty() ? QString() : QStringLiteral("(unchanged)"));
    ui_->mqttTls->setChecked(s.mqttTls != 0);
    ui_->mqttCaFile->setText(QString::fromStdString(s.mqttCaFile));
    ui_->mqttTopic->setText(QString::fromStdString(s.mqttTopic));
    ui_->hook->setText(QString::fromStdString(s.hook));
    std::bitset<kEdgeKindCount> edges;
    ParseEdgeList(s.hookEvents, edges);
    for (size_t e = 0; e < edgeBoxes_.size(); ++e)
        edgeBoxes_[e]->setChecked(edges.test(e));
    ui_->hookTimeout->setText(QString::number(s.hookTimeoutS));
    for (size_t k = 0; k < size_t(kCameraCount); ++k) {
        notifyBoxes_[k]->setChecked(s.notifyDesktop[k] != 0);
        gapEdits_[k]->setText(QString::number(s.eventGapS[k]));
    }
}

void CEventsDlg::Invalid(const std::string& text)
{
    host_.Reporter().ShowMessage(text, "Invalid Value", MessageIcon::Exclamation);
}

bool CEventsDlg::Collect(EventsSettings& s)
{
    const auto number = [this](QLineEdit* edit, const std::string& name, int& value) {
        bool ok = false;
        const long long read = edit->text().trimmed().toLongLong(&ok);
        if (!ok || read < INT32_MIN || read > INT32_MAX) {
            Invalid(name + " must be a number");
            return false;
        }
        value = int(read);
        return true;
    };
    s.mqttHost = ui_->mqttHost->text().trimmed().toStdString();
    if (!number(ui_->mqttPort, "\"MqttPort\"", s.mqttPort))
        return false;
    s.mqttUser = ui_->mqttUser->text().toStdString();
    const std::string typed = ui_->mqttPassword->text().toStdString();
    // No user, no password: clearing the user forgets it.
    s.mqttPassword = s.mqttUser.empty() ? std::string() : !typed.empty() ? typed : storedPassword_;
    s.mqttTls = ui_->mqttTls->isChecked() ? 1 : 0;
    s.mqttCaFile = ui_->mqttCaFile->text().trimmed().toStdString();
    s.mqttTopic = ui_->mqttTopic->text().trimmed().toStdString();
    s.hook = ui_->hook->text().toStdString();
    s.hookEvents.clear();
    for (size_t e = 0; e < edgeBoxes_.size(); ++e) {
        if (!edgeBoxes_[e]->isChecked())
            continue;
        if (!s.hookEvents.empty())
            s.hookEvents += ',';
        s.hookEvents += EdgeName(EdgeKind(e));
    }
    if (!number(ui_->hookTimeout, "\"HookTimeoutS\"", s.hookTimeoutS))
        return false;
    for (size_t k = 0; k < size_t(kCameraCount); ++k) {
        s.notifyDesktop[k] = notifyBoxes_[k]->isChecked() ? 1 : 0;
        const std::string name = std::string("\"EventGapS\" of camera ") + CameraLetter(int(k));
        if (!number(gapEdits_[k], name, s.eventGapS[k]))
            return false;
    }
    return true;
}

void CEventsDlg::OnOK()
{
    EventsSettings s;
    if (!Collect(s))
        return;
    const std::vector<std::string> problems = ValidateEventsSettings(s);
    if (!problems.empty()) {
        Invalid(problems.front());
        return;
    }
    if (!Write(s))
        return;
    if (committed_)
        committed_();
    accept();
}

bool CEventsDlg::Write(const EventsSettings& s)
{
    for (const std::string* text : {&s.mqttHost, &s.mqttUser, &s.mqttPassword, &s.mqttCaFile, &s.mqttTopic, &s.hook,
                                    &s.hookEvents}) {
        if (text->size() > CRegistryKey::kMaxWrittenChars) {
            Invalid("A text of the events settings is longer than " + std::to_string(CRegistryKey::kMaxWrittenChars)
                    + " characters");
            return false;
        }
    }
    CRegistryKey key;
    key.SetRootKey(RegistryRoot::HKEY_LOCAL_MACHINE);
    SaveStatus status;
    bool made = true;
    {
        // One replacement of each key's file for the whole commit.
        RegistryStore::WriteBatch batch(key.Store());
        made = key.SetKey(EventsKeyPath(instance_), true);
        if (made) {
            key.WriteString("MqttHost", s.mqttHost);
            key.WriteInt("MqttPort", s.mqttPort);
            key.WriteString("MqttUser", s.mqttUser);
            key.WriteString("MqttPassword", s.mqttPassword);
            key.WriteInt("MqttTls", s.mqttTls);
            key.WriteString("MqttCaFile", s.mqttCaFile);
            key.WriteString("MqttTopic", s.mqttTopic);
            key.WriteString("Hook", s.hook);
            key.WriteString("HookEvents", s.hookEvents);
            key.WriteInt("HookTimeoutS", s.hookTimeoutS);
            for (int k = 0; k < kCameraCount && made; ++k) {
                made = key.SetKey(CameraKeyPath(instance_, k), true);
                if (made) {
                    key.WriteInt("NotifyDesktop", s.notifyDesktop[size_t(k)]);
                    key.WriteInt("EventGapS", s.eventGapS[size_t(k)]);
                }
            }
        }
        status = batch.Commit();
    }
    if (!made || !status.ok()) {
        const std::string why = status.ok() ? "a key cannot be made in " + key.Store().folder().string()
                                            : SaveFailureText(status);
        host_.Reporter().ShowMessage("The events settings could not be saved: " + why, "Vistrel", MessageIcon::Error);
        return false;
    }
    return true;
}

} // namespace vistrel
