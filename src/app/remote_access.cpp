// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/remote_access.h"

#include "app/web_exports.h"
#include "settings/registry_key.h"
#include "settings/registry_store.h"
#include "web/web_settings.h"

#include <QStandardPaths>

#include <cstdio>

namespace vistrel {

namespace {

constexpr auto kKeepExports = std::chrono::hours(1);

bool SameSettings(const WebSettings& a, const WebSettings& b)
{
    return a.enable == b.enable && a.port == b.port && a.tls == b.tls && a.bind == b.bind && a.user == b.user
        && a.passwordHash == b.passwordHash && a.certFile == b.certFile && a.keyFile == b.keyFile;
}

std::string Listening(const WebSettings& settings, uint16_t port)
{
    const bool v6 = settings.bind.find(':') != std::string::npos;
    return std::string(settings.tls ? "https://" : "http://") + (v6 ? "[" : "") + settings.bind + (v6 ? "]" : "") + ":"
        + std::to_string(port) + "/";
}

} // namespace

std::filesystem::path WebExportFolder(int instance)
{
    const std::string cache = QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation).toStdString();
    return std::filesystem::path(cache) / "vistrel" / ("web-exports-" + std::to_string(instance));
}

RemoteAccess::RemoteAccess(RecorderWebBackend::Parts parts, std::filesystem::path exportFolder, QObject* parent)
    : QObject(parent)
    , storeFolder_(parts.storeFolder)
{
    exports_ = std::make_unique<WebExports>(std::move(exportFolder), kKeepExports);
    parts.exports = exports_.get();
    backend_ = std::make_unique<RecorderWebBackend>(std::move(parts));
    keyCheck_.setInterval(kKeyCheckMs);
    connect(&keyCheck_, &QTimer::timeout, this, &RemoteAccess::Reload);
}

RemoteAccess::~RemoteAccess()
{
    Stop();
}

void RemoteAccess::Start(int instance)
{
    instance_ = instance;
    applied_ = DefaultWebSettings(instance);
    started_ = false;
    Reload();
    keyCheck_.start();
}

void RemoteAccess::Reload()
{
    if (instance_ == 0)
        return;
    CRegistryKey key(storeFolder_);
    const WebSettings settings = ReadWebSettings(key, instance_);
    if (started_ && SameSettings(settings, applied_))
        return;
    Apply(settings);
}

void RemoteAccess::Apply(const WebSettings& settings)
{
    // The old server lets go of its port before the new one takes it.
    const bool wasRunning = server_ != nullptr;
    server_.reset();
    applied_ = settings;
    started_ = true;
    WebServerConfig config;
    config.settings = settings;
    config.storeFolder = storeFolder_;
    config.instance = instance_;
    WebStartResult result = WebServer::Start(*backend_, config);
    switch (result.status) {
    case WebStartStatus::Started:
        server_ = std::move(result.server);
        stateText_ = "Listening on " + Listening(settings, server_->Port());
        break;
    case WebStartStatus::Disabled:
        stateText_ = "Remote access is off.";
        break;
    default:
        stateText_ = WebStartText(result, config);
        break;
    }
    // An instance that never serves says nothing.
    if (result.status != WebStartStatus::Disabled || wasRunning) {
        std::fprintf(stderr, "Vistrel %d: remote access: %s\n", instance_, stateText_.c_str());
        std::fflush(stderr);
    }
}

void RemoteAccess::Stop()
{
    keyCheck_.stop();
    server_.reset();
    instance_ = 0;
}

} // namespace vistrel
