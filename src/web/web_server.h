// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "web/web_backend.h"
#include "web/web_settings.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <sys/types.h>

struct MHD_Daemon;
struct MHD_Connection;

namespace vistrel {

class WebRouter;
class WebWorker;
struct StreamClient;
struct WebRequestState;

struct WebServerConfig {
    WebSettings settings;
    std::filesystem::path storeFolder; // where a self-signed certificate is kept
    int instance = 1;
};

enum class WebStartStatus {
    Started,
    Disabled,     // "Enable" is 0: nothing listens
    BadSettings,  // see problem
    TlsFailed,    // error: -errno of loading or making the certificate
    ListenFailed, // error: -errno of the listening socket (-EADDRINUSE, ...)
};

class WebServer;

struct WebStartResult {
    WebStartStatus status = WebStartStatus::Disabled;
    WebSettingsProblem problem = WebSettingsProblem::None;
    int error = 0;
    std::unique_ptr<WebServer> server; // set when Started
};

// The sentence that tells the user why the server did not start (empty when
// it started), naming the address and port but never a file path.
std::string WebStartText(const WebStartResult& result, const WebServerConfig& config);

// The built-in web server: libmicrohttpd with one internal polling thread
// (epoll), limits of 64 connections in all and 16 per address, 5 s to send a
// request's head and 30 s idle after it, streams on suspended connections
// (no thread waits per client), and one worker thread of its own for password
// checks and timed work. Listening from Start until it is destroyed.
//
// Made and destroyed on one thread (the user-interface thread in the
// recorder); the recorder's threads call it only through IWebListener, which
// Start registers with the backend.
class WebServer : private IWebListener {
public:
    static WebStartResult Start(IWebBackend& backend, const WebServerConfig& config);
    ~WebServer() override;
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    uint16_t Port() const { return port_; }
    // The SHA-256 fingerprint of the certificate served; empty without TLS.
    const std::string& Fingerprint() const { return fingerprint_; }

private:
    WebServer(IWebBackend& backend, const WebServerConfig& config);
    void Stop();

    // IWebListener, on the recorder's threads.
    void FrameReady(int camera, const WebFrame& frame) override;
    void StatusChanged() override;
    void EventAdded(const std::string& eventJson) override;

    // libmicrohttpd's callbacks (on its polling thread) reach the members below.
    friend struct WebServerCallbacks;
    // Each false when the connection must be closed.
    bool Handle(MHD_Connection* connection, const char* method, const char* uploadData, size_t* uploadDataSize,
                void** requestContext);
    bool Answer(MHD_Connection* connection, WebRequestState& state);
    bool CheckPassword(MHD_Connection* connection, WebRequestState& state, std::string user, std::string password);
    void PasswordChecked(WebRequestState* state, int outcome);
    bool OpenStream(MHD_Connection* connection, int kind, int camera);

    // Stream clients.
    ssize_t ReadStream(StreamClient& client, char* buffer, size_t max);
    void StreamClosed(const std::shared_ptr<StreamClient>& client);
    void Tick();
    void ScheduleTick();

    IWebBackend& backend_;
    const WebServerConfig config_;
    std::unique_ptr<WebRouter> router_; // used on the polling thread only
    std::unique_ptr<WebWorker> worker_;
    MHD_Daemon* daemon_ = nullptr;
    uint16_t port_ = 0;
    std::string fingerprint_;
    std::string certificatePem_; // libmicrohttpd reads both while it runs
    std::string keyPem_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> statusDirty_{true};
    std::chrono::steady_clock::time_point nextKeepAlive_; // used on the worker only

    std::mutex checksMutex_; // guards checking_
    std::set<WebRequestState*> checking_; // requests suspended while their password is checked

    std::mutex streamsMutex_; // guards streams_, tickScheduled_ and the counts below
    std::vector<std::shared_ptr<StreamClient>> streams_;
    bool tickScheduled_ = false;
    std::array<int, kWebCameras> pictureViewers_{};
    int statusViewers_ = 0;
    // Read without the lock, so a frame nobody watches costs one load.
    std::array<std::atomic<int>, kWebCameras> pictureViewersNow_{};
    std::atomic<int> eventViewersNow_{0};
};

} // namespace vistrel
