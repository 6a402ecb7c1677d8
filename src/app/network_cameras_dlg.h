// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "capture/network_camera.h"
#include "common/message_reporter.h"
#include "settings/registry_store.h"

#include <QDialog>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace Ui {
class NetworkCamerasDialog;
}

namespace vistrel {

// The "Network Cameras" dialog: adds, changes and removes the network
// cameras that every instance can record, one key of the settings store
// each. It is their only writer in the program. What it saves is checked
// first; a camera that cannot be used, or whose name another has (letter
// case ignored), is refused with an "Invalid Value" box and the store stays
// as it was. The list shows the store as it is, other instances' changes
// included. Lives on the user-interface thread.
class CNetworkCamerasDlg : public QDialog {
    Q_OBJECT
public:
    CNetworkCamerasDlg(IMessageReporter& reporter, std::filesystem::path storeFolder,
                       std::function<void()> openManual, QWidget* parent = nullptr);
    ~CNetworkCamerasDlg() override;

    // "New": empty fields for a camera to add.
    void OnNew();
    // "Save": the fields as the camera chosen in the list (renamed if its
    // name changed), or as a new camera when none is chosen.
    void OnSave();
    // "Remove": the camera chosen in the list.
    void OnRemove();

    // True once the dialog changed the store.
    bool storeChanged() const { return storeChanged_; }

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    // Reads the cameras from the store again and chooses the one named `chosen`.
    void Reload(const std::string& chosen);
    void OnCameraChosen(int row);
    void ShowFields(const NetworkCamera& camera);
    NetworkCamera FieldsCamera() const;

    std::unique_ptr<Ui::NetworkCamerasDialog> ui_;
    IMessageReporter& reporter_;
    RegistryStore store_;
    std::function<void()> openManual_;
    std::vector<NetworkCamera> cameras_; // as last read, in list order
    std::string editing_;                // the stored name of the camera in the fields; empty for a new one
    bool storeChanged_ = false;
};

} // namespace vistrel
