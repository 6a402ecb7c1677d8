// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "options/dialog_support.h"
#include "options/font_color_dlg.h"

#include <QDialog>

#include <functional>
#include <memory>
#include <optional>
#include <string>

class QLineEdit;

namespace Ui {
class OptionsDialog;
}

namespace vistrel {

class IDialogHost;
struct InstanceSettings;

// The options of one camera letter (and the instance-wide save interval).
// Modal, on the user-interface thread. Holds no copy of the settings: Fill
// reads the store, Commit writes it, both under SettingsLock.
class COptionsDlg : public QDialog {
    Q_OBJECT
public:
    // The pickers are members so tests can answer them without a modal dialog.
    using FontPicker = std::function<std::optional<FontChoice>(const LOGFONTA& font, uint32_t textColor, QWidget* parent)>;
    using ColorPicker = std::function<std::optional<uint32_t>(uint32_t color, QWidget* parent)>;
    // Asks a yes-or-no question; true for yes.
    using Confirmer = std::function<bool(const std::string& text, QWidget* parent)>;

    COptionsDlg(IDialogHost& host, InstanceSettings& settings, int camera, QWidget* parent = nullptr);
    ~COptionsDlg() override;

    int exec() override;

    // Title "Options for Camera %c" and Fill.
    bool OnInitDialog();
    // Store to controls. False when the settings lock could not be had.
    bool Fill();
    // Checks the fields in order; the first failure is reported and false returned.
    // Creates the static-file and archive folders on the way. A shorter
    // retention that would take more than 5% of the camera's archive is
    // first confirmed; a "no" fails too.
    bool Validate();
    // Controls to store, then save, lay out the panes again and tell the workers.
    bool Commit();

    void OnOK();
    void OnApply();
    void OnTextFont();
    void OnBackgroundColor();

    void SetFontPicker(FontPicker picker) { fontPicker_ = std::move(picker); }
    void SetColorPicker(ColorPicker picker) { colorPicker_ = std::move(picker); }
    void SetConfirmer(Confirmer confirm) { confirm_ = std::move(confirm); }
    void SetThreadPoster(ThreadPoster post) { post_ = std::move(post); }

    int Camera() const { return camera_; }

protected:
    void showEvent(QShowEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    struct MuxState {
        bool enabled = false;
        int inputs = 0; // cameras whose MuxerInputs flag is set, when enabled
    };
    std::optional<MuxState> ReadMuxState();
    void ShowInvalid(const char* text);
    // The leading integer of a number field; nothing, reported, when the
    // field holds no number.
    std::optional<int32_t> IntegerField(const QLineEdit& edit);
    // True when the period does not shorten the stored one, or shortens it
    // taking at most 5% of the archive in `archivePath`, or the user agrees.
    bool ConfirmRetention(const std::string& archivePath, int64_t periodSeconds);
    // After a picker: commit every field when they pass validation, else only
    // what the picker changed.
    void CommitAfterPicker();
    void AnnounceCommit();

    std::unique_ptr<Ui::OptionsDialog> ui_;
    IDialogHost& host_;
    InstanceSettings& settings_;
    const int camera_;
    FontPicker fontPicker_ = &FontColorDialog::Pick;
    ColorPicker colorPicker_ = &PickColor;
    Confirmer confirm_;
    ThreadPoster post_ = DefaultThreadPoster();
    bool initialised_ = false;
};

} // namespace vistrel
