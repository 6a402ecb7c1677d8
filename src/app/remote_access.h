// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "app/recorder_web_backend.h"
#include "web/web_server.h"

#include <QObject>
#include <QTimer>

#include <filesystem>
#include <memory>
#include <string>

namespace vistrel {

class WebExports;

// The built-in web server as the recorder runs it: started when the
// instance's Web key holds "Enable" 1, started again with the new settings
// when the key changes (its dialog, --web-password, or a hand edit), stopped
// when "Enable" goes back to 0 and at exit. A server that cannot start is
// said once on standard error, and the dialog shows why.
//
// Lives on the user-interface thread.
class RemoteAccess : public QObject {
    Q_OBJECT
public:
    static constexpr int kKeyCheckMs = 1000;

    // `parts` as the backend takes them, but for the exports, which this
    // object keeps under `exportFolder`.
    RemoteAccess(RecorderWebBackend::Parts parts, std::filesystem::path exportFolder, QObject* parent = nullptr);
    ~RemoteAccess() override;

    // Reads the key of `instance` and follows it from now on.
    void Start(int instance);
    // Reads the key again now, as after the dialog wrote it.
    void Reload();
    // Stops the server and stops following the key.
    void Stop();

    RecorderWebBackend& Backend() { return *backend_; }
    const std::filesystem::path& StoreFolder() const { return storeFolder_; }
    // One sentence about the server: where it listens, that it is off, or
    // why it could not start.
    const std::string& StateText() const { return stateText_; }
    // The SHA-256 fingerprint of the certificate served; empty without TLS.
    std::string Fingerprint() const { return server_ ? server_->Fingerprint() : std::string(); }

private:
    void Apply(const WebSettings& settings);

    int instance_ = 0;
    std::filesystem::path storeFolder_;
    std::unique_ptr<WebExports> exports_;
    std::unique_ptr<RecorderWebBackend> backend_;
    std::unique_ptr<WebServer> server_; // destroyed before the backend it uses
    WebSettings applied_;
    bool started_ = false;
    std::string stateText_ = "Remote access is off.";
    QTimer keyCheck_;
};

// The folder an instance's web exports are written to, below the user's cache.
std::filesystem::path WebExportFolder(int instance);

} // namespace vistrel
