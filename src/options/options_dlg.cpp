// SPDX-License-Identifier: GPL-3.0-or-later
#include "options/options_dlg.h"

#include "settings/instance_settings.h"
#include "common/combo_box.h"
#include "options/dialog_host.h"
#include "options/number_text.h"
#include "options/path_rules.h"
#include "options/retention_check.h"

#include "ui_options_dialog.h"

#include <QKeyEvent>
#include <QMessageBox>

#include <algorithm>
#include <ctime>

namespace vistrel {

namespace {

constexpr int kMuxMaxMs = 15000;
constexpr int kSaveMinMs = 100;
constexpr int kSaveMaxMs = 60000;
constexpr int kMsPerMuxInput = 100;
// Entries of an archive folder read to weigh a shorter retention: enough for
// days of images at one a second, few enough not to hold up the dialog.
constexpr size_t kRetentionListingBound = 100000;

constexpr char kNotANumberMessage[] = "Please enter a number.";
constexpr char kNegativeRetentionMessage[] = "Days, Hours and Minutes cannot be negative.";

std::string TextOf(const QLineEdit& edit)
{
    return edit.text().toStdString();
}

int32_t ToInt32(int64_t value)
{
    return int32_t(std::clamp<int64_t>(value, INT32_MIN, INT32_MAX));
}

int CountMuxInputs(const InstanceSettings& settings)
{
    return int(std::count_if(settings.MuxerInputs.begin(), settings.MuxerInputs.end(),
                             [](int32_t flag) { return flag != 0; }));
}

// The retention period in seconds; a negative part counts as 0, as loading reads it.
int64_t RetentionSeconds(int32_t days, int32_t hours, int32_t minutes)
{
    return int64_t(std::max(days, 0)) * 86400 + int64_t(std::max(hours, 0)) * 3600 + int64_t(std::max(minutes, 0)) * 60;
}

std::string LocalTimeText(std::time_t time)
{
    std::tm local{};
    char text[32] = "";
    if (localtime_r(&time, &local))
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
    return text;
}

std::string ShorterRetentionQuestion(int camera, const ExpiringImages& images)
{
    std::string text = "The shorter archive period deletes ";
    const std::string letter(1, CameraLetter(camera));
    if (images.complete) {
        text += std::to_string(images.expiring) + " of the " + std::to_string(images.listed) + " images of camera "
            + letter;
    } else {
        // Only part of a very large folder was read: its share stands for the whole.
        text += "about " + std::to_string(images.expiring * 100 / std::max<int64_t>(images.listed, 1))
            + "% of the images of camera " + letter + " (" + std::to_string(images.expiring) + " of the first "
            + std::to_string(images.listed) + " read)";
    }
    if (images.oldest != 0)
        text += ", those saved from " + LocalTimeText(images.oldest) + " to " + LocalTimeText(images.newest);
    return text + ".\n\nDelete them?";
}

bool AskYesNo(const std::string& text, QWidget* parent)
{
    return QMessageBox::warning(parent, QStringLiteral("Shorter Archive Period"), QString::fromStdString(text),
                                QMessageBox::Yes | QMessageBox::No, QMessageBox::No)
        == QMessageBox::Yes;
}

} // namespace

COptionsDlg::COptionsDlg(IDialogHost& host, InstanceSettings& settings, int camera, QWidget* parent)
    : QDialog(parent)
    , ui_(std::make_unique<Ui::OptionsDialog>())
    , host_(host)
    , settings_(settings)
    , camera_(std::clamp(camera, 0, kCameraCount - 1))
    , confirm_(&AskYesNo)
{
    ui_->setupUi(this);
    // Drop lists start without a selection; Fill selects what the store holds.
    for (QComboBox* box : {ui_->vertAlign, ui_->horzAlign, ui_->overlayEffect, ui_->rotation})
        box->setCurrentIndex(-1);

    connect(ui_->okButton, &QPushButton::clicked, this, &COptionsDlg::OnOK);
    connect(ui_->applyButton, &QPushButton::clicked, this, &COptionsDlg::OnApply);
    connect(ui_->cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(ui_->textFont, &QPushButton::clicked, this, &COptionsDlg::OnTextFont);
    connect(ui_->backgroundColor, &QPushButton::clicked, this, &COptionsDlg::OnBackgroundColor);
}

COptionsDlg::~COptionsDlg() = default;

int COptionsDlg::exec()
{
    if (!initialised_)
        OnInitDialog();
    return QDialog::exec();
}

void COptionsDlg::showEvent(QShowEvent* event)
{
    if (!initialised_)
        OnInitDialog();
    QDialog::showEvent(event);
}

void COptionsDlg::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_F1) {
        host_.OpenManual();
        return;
    }
    QDialog::keyPressEvent(event);
}

bool COptionsDlg::OnInitDialog()
{
    initialised_ = true;
    setWindowTitle(QStringLiteral("Options for Camera %1").arg(QChar(CameraLetter(camera_))));
    Fill();
    return true;
}

bool COptionsDlg::Fill()
{
    const int c = camera_;
    // Copied under the lock, shown after it: no widget work while the workers wait.
    int32_t effect = 0, overlay = 0, staticMotion = 0, archiveMotion = 0, staticSave = 0, archiving = 0;
    int32_t horzFlip = 0, vertFlip = 0, quality = 0, days = 0, hours = 0, minutes = 0, trigger = 0, saveCount = 0;
    std::string overlayText, interval, staticFile, archivePath, horz, vert, rotation;
    {
        TimedLock lock(settings_.SettingsLock);
        if (!lock)
            return false;
        effect = settings_.OverlayEffect[c];
        overlay = settings_.EnableOverlay[c];
        staticMotion = settings_.EnableStaticMotion[c];
        archiveMotion = settings_.EnableArchiveMotion[c];
        staticSave = settings_.EnableStaticSave[c];
        archiving = settings_.EnableArchving[c];
        horzFlip = settings_.HorzFlip[c];
        vertFlip = settings_.VertFlip[c];
        overlayText = settings_.OverlayText[c];
        // With multiplexing the field shows one full cycle: n inputs × MuxerSpeed.
        if (settings_.EnableMux != 0)
            interval = FormatFixed3(CountMuxInputs(settings_) * double(settings_.MuxerSpeed) * 0.001);
        else
            interval = FormatFixed3(settings_.SaveEvery * 0.001);
        quality = settings_.JpegQuality[c];
        days = settings_.Days[c];
        hours = settings_.Hours[c];
        minutes = settings_.Minutes[c];
        trigger = settings_.TriggerLevel[c];
        saveCount = settings_.SaveCount[c];
        staticFile = settings_.StaticPathFile[c];
        archivePath = settings_.ArchivePath[c];
        horz = settings_.HORZ[c];
        vert = settings_.VERT[c];
        rotation = settings_.Rotation[c];
    }

    // An index outside the list leaves no item selected, as the store asks for none of them.
    ui_->overlayEffect->setCurrentIndex(effect >= 0 && effect < ui_->overlayEffect->count() ? effect : -1);
    ui_->enableOverlay->setChecked(overlay != 0);
    ui_->staticMotion->setChecked(staticMotion != 0);
    ui_->archiveMotion->setChecked(archiveMotion != 0);
    ui_->enableStaticSave->setChecked(staticSave != 0);
    ui_->enableArchiving->setChecked(archiving != 0);
    ui_->horzFlip->setChecked(horzFlip != 0);
    ui_->vertFlip->setChecked(vertFlip != 0);
    ui_->overlayText->setText(QString::fromStdString(overlayText));
    ui_->saveEvery->setText(QString::fromStdString(interval));
    ui_->jpegQuality->setText(QString::number(quality));
    ui_->days->setText(QString::number(days));
    ui_->hours->setText(QString::number(hours));
    ui_->minutes->setText(QString::number(minutes));
    ui_->triggerLevel->setText(QString::number(trigger));
    ui_->saveCount->setText(QString::number(saveCount));
    ui_->staticFile->setText(QString::fromStdString(staticFile));
    ui_->archivePath->setText(QString::fromStdString(archivePath));
    SelectByPrefix(*ui_->horzAlign, QString::fromStdString(horz));
    SelectByPrefix(*ui_->vertAlign, QString::fromStdString(vert));
    SelectByPrefix(*ui_->rotation, QString::fromStdString(rotation));
    return true;
}

std::optional<COptionsDlg::MuxState> COptionsDlg::ReadMuxState()
{
    TimedLock lock(settings_.SettingsLock);
    if (!lock)
        return std::nullopt;
    MuxState state;
    state.enabled = settings_.EnableMux != 0;
    state.inputs = state.enabled ? CountMuxInputs(settings_) : 0;
    return state;
}

void COptionsDlg::ShowInvalid(const char* text)
{
    host_.Reporter().ShowMessage(text, "Invalid Value", MessageIcon::Exclamation);
}

std::optional<int32_t> COptionsDlg::IntegerField(const QLineEdit& edit)
{
    const std::string text = TextOf(edit);
    if (!StartsWithNumber(text, false)) {
        ShowInvalid(kNotANumberMessage);
        return std::nullopt;
    }
    return LeadingInt(text);
}

bool COptionsDlg::ConfirmRetention(const std::string& archivePath, int64_t periodSeconds)
{
    int64_t storedSeconds = 0;
    int32_t instance = 0;
    {
        TimedLock lock(settings_.SettingsLock);
        if (!lock)
            return false; // settings busy: try again on the next press
        storedSeconds = RetentionSeconds(settings_.Days[camera_], settings_.Hours[camera_], settings_.Minutes[camera_]);
        instance = settings_.InstanceNumber;
    }
    if (periodSeconds >= storedSeconds)
        return true;
    const ExpiringImages images = CountExpiringImages(archivePath, ArchiveSuffix(instance, camera_), std::time(nullptr),
                                                      periodSeconds, kRetentionListingBound);
    return !images.Many() || confirm_(ShorterRetentionQuestion(camera_, images), this);
}

bool COptionsDlg::Validate()
{
    const std::optional<MuxState> mux = ReadMuxState();
    if (!mux)
        return false; // settings busy: try again on the next press

    // A field without a number would be read as 0: it is refused, not taken as 0.
    const std::string interval = TextOf(*ui_->saveEvery);
    if (!StartsWithNumber(interval, true)) {
        ShowInvalid(kNotANumberMessage);
        return false;
    }
    const int64_t ms = SecondsTextToMs(interval);
    if (mux->enabled) {
        // Multiplexing switched on with no input flagged can only come from a
        // hand-edited store; count it as one input so the cycle never divides by zero.
        const int inputs = std::max(mux->inputs, 1);
        if (ms < inputs * kMsPerMuxInput || ms > kMuxMaxMs) {
            const std::string text = "Save Every X Seconds cannot be less than "
                                     + FormatFixed3(inputs * kMsPerMuxInput * 0.001) + " or greater than 15";
            ShowInvalid(text.c_str());
            return false;
        }
    } else if (ms < kSaveMinMs || ms > kSaveMaxMs) {
        ShowInvalid("Save Every X Seconds cannot be less than .1 or greater than 60");
        return false;
    }

    const std::optional<int32_t> quality = IntegerField(*ui_->jpegQuality);
    if (!quality)
        return false;
    if (*quality < 0 || *quality > 100) {
        ShowInvalid("Jpeg Quality cannot be less than 0 or greater than 100");
        return false;
    }
    const std::optional<int32_t> trigger = IntegerField(*ui_->triggerLevel);
    if (!trigger)
        return false;
    if (*trigger < 0 || *trigger > 255) {
        ShowInvalid("Motion Detection Trigger Level cannot be less than 0 or greater than 255");
        return false;
    }
    const std::optional<int32_t> saveCount = IntegerField(*ui_->saveCount);
    if (!saveCount)
        return false;
    if (*saveCount < 1 || *saveCount > 1000) {
        ShowInvalid("After Motion is Detected Save X, cannot be less than 1 or greater than 1000");
        return false;
    }

    // A negative part would make the period negative, and the archive thread
    // would then keep no image at all.
    const std::optional<int32_t> days = IntegerField(*ui_->days);
    if (!days)
        return false;
    const std::optional<int32_t> hours = IntegerField(*ui_->hours);
    if (!hours)
        return false;
    const std::optional<int32_t> minutes = IntegerField(*ui_->minutes);
    if (!minutes)
        return false;
    if (*days < 0 || *hours < 0 || *minutes < 0) {
        ShowInvalid(kNegativeRetentionMessage);
        return false;
    }

    const std::string staticFile = TextOf(*ui_->staticFile);
    std::string staticFolder;
    if (!SplitStaticFile(staticFile, staticFolder)) {
        ShowInvalid("Syntax error, static file must contain the full path and file name ending with .jpg");
        return false;
    }
    if (!IsUsablePath(staticFile) || !MakePath(staticFolder)) {
        ShowInvalid("Could not create static file path, if syntax is correct, make sure you have access to write to "
                    "the drive.");
        return false;
    }

    const std::string archivePath = NormaliseArchivePath(TextOf(*ui_->archivePath));
    if (!MakePath(archivePath)) {
        ShowInvalid("Could not create archive path, if syntax is correct, make sure you have access to write to the "
                    "drive.");
        return false;
    }
    if (!ConfirmRetention(archivePath, RetentionSeconds(*days, *hours, *minutes)))
        return false;
    ui_->archivePath->setText(QString::fromStdString(archivePath));
    return true;
}

bool COptionsDlg::Commit()
{
    const int c = camera_;
    const int32_t effect = ui_->overlayEffect->currentIndex();
    const int64_t ms = SecondsTextToMs(TextOf(*ui_->saveEvery));
    const int32_t quality = LeadingInt(TextOf(*ui_->jpegQuality));
    const int32_t days = LeadingInt(TextOf(*ui_->days));
    const int32_t hours = LeadingInt(TextOf(*ui_->hours));
    const int32_t minutes = LeadingInt(TextOf(*ui_->minutes));
    const int32_t trigger = LeadingInt(TextOf(*ui_->triggerLevel));
    const int32_t saveCount = LeadingInt(TextOf(*ui_->saveCount));
    {
        TimedLock lock(settings_.SettingsLock);
        if (!lock)
            return false;
        settings_.OverlayEffect[c] = effect;
        settings_.EnableOverlay[c] = ui_->enableOverlay->isChecked() ? 1 : 0;
        settings_.EnableStaticMotion[c] = ui_->staticMotion->isChecked() ? 1 : 0;
        settings_.EnableArchiveMotion[c] = ui_->archiveMotion->isChecked() ? 1 : 0;
        settings_.EnableStaticSave[c] = ui_->enableStaticSave->isChecked() ? 1 : 0;
        settings_.EnableArchving[c] = ui_->enableArchiving->isChecked() ? 1 : 0;
        settings_.HorzFlip[c] = ui_->horzFlip->isChecked() ? 1 : 0;
        settings_.VertFlip[c] = ui_->vertFlip->isChecked() ? 1 : 0;
        settings_.OverlayText[c] = TextOf(*ui_->overlayText);
        // The field holds one whole cycle when multiplexing; each input gets its share.
        if (settings_.EnableMux != 0)
            settings_.MuxerSpeed = ToInt32(ms / std::max(CountMuxInputs(settings_), 1));
        else
            settings_.SaveEvery = ToInt32(ms);
        settings_.JpegQuality[c] = quality;
        settings_.Days[c] = days;
        settings_.Hours[c] = hours;
        settings_.Minutes[c] = minutes;
        settings_.TriggerLevel[c] = trigger;
        settings_.SaveCount[c] = saveCount;
        settings_.StaticPathFile[c] = TextOf(*ui_->staticFile);
        settings_.ArchivePath[c] = TextOf(*ui_->archivePath);
        settings_.HORZ[c] = ui_->horzAlign->currentText().toStdString();
        settings_.VERT[c] = ui_->vertAlign->currentText().toStdString();
        settings_.Rotation[c] = ui_->rotation->currentText().toStdString();
    }
    AnnounceCommit();
    return true;
}

void COptionsDlg::AnnounceCommit()
{
    host_.SaveSettings();
    host_.LayoutPanes(0, 0);
    AnnounceSettingsChanged(host_, post_);
}

void COptionsDlg::OnOK()
{
    if (Validate() && Commit())
        accept();
}

void COptionsDlg::OnApply()
{
    if (Validate() && Commit())
        Fill();
}

void COptionsDlg::CommitAfterPicker()
{
    // The pick commits the whole dialog, but never values that OK would refuse
    // (a zero interval, an unusable path): then only the pick itself is saved,
    // and the message says which field needs fixing.
    if (Validate() && Commit())
        return;
    AnnounceCommit();
}

void COptionsDlg::OnTextFont()
{
    LOGFONTA font;
    uint32_t color = 0;
    {
        TimedLock lock(settings_.SettingsLock);
        if (!lock)
            return;
        font = settings_.OverlayFont[camera_];
        color = settings_.TextColor[camera_];
    }
    const std::optional<FontChoice> choice = fontPicker_(font, color, this);
    if (!choice)
        return;
    {
        TimedLock lock(settings_.SettingsLock);
        if (!lock)
            return;
        settings_.OverlayFont[camera_] = choice->font;
        settings_.TextColor[camera_] = choice->textColor;
    }
    CommitAfterPicker();
}

void COptionsDlg::OnBackgroundColor()
{
    uint32_t color = 0;
    {
        TimedLock lock(settings_.SettingsLock);
        if (!lock)
            return;
        color = settings_.BackgroundColor[camera_];
    }
    const std::optional<uint32_t> chosen = colorPicker_(color, this);
    if (!chosen)
        return;
    {
        TimedLock lock(settings_.SettingsLock);
        if (!lock)
            return;
        settings_.BackgroundColor[camera_] = *chosen;
    }
    CommitAfterPicker();
}

} // namespace vistrel
