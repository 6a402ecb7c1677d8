// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/event.h"
#include "events/events_settings.h"

#include <QDialog>

#include <array>
#include <functional>
#include <memory>
#include <string>

class QCheckBox;
class QLineEdit;

namespace Ui {
class EventsDialog;
}

namespace vistrel {

class IDialogHost;

// The "Events" dialog: the MQTT broker, the command hook and the edges it
// runs for, and per camera the desktop notifications and the gap that joins
// motion into one event. It reads and writes the store itself: the Events
// key (which only this dialog writes, as it may hold a password) and the
// cameras' "NotifyDesktop" and "EventGapS". A stored password is never shown:
// the field stays empty and an empty field keeps it. Modal, on the
// user-interface thread.
class CEventsDlg : public QDialog {
    Q_OBJECT
public:
    // `committed` runs after the values were written, for the recorder to
    // read them again.
    CEventsDlg(IDialogHost& host, int instance, std::function<void()> committed, QWidget* parent = nullptr);
    ~CEventsDlg() override;

    // Reads the stored values into the controls.
    void OnInitDialog();
    // Validates and writes; on a bad value says why in an "Invalid Value"
    // box, writes nothing and stays open. Accepts the dialog once written.
    void OnOK();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    // The values the controls hold; false (after the box) when a number is not one.
    bool Collect(EventsSettings& settings);
    bool Write(const EventsSettings& settings);
    void Invalid(const std::string& text);

    std::unique_ptr<Ui::EventsDialog> ui_;
    IDialogHost& host_;
    const int instance_;
    std::function<void()> committed_;
    std::string storedPassword_; // kept in memory only, never put in a control
    std::array<QCheckBox*, kEdgeKindCount> edgeBoxes_{};
    std::array<QCheckBox*, kCameraCount> notifyBoxes_{};
    std::array<QLineEdit*, kCameraCount> gapEdits_{};
};

} // namespace vistrel
