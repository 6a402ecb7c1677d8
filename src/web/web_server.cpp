// SPDX-License-Identifier: GPL-3.0-or-later
#include "web/web_server.h"

#include "common/text_format.h"
#include "web/password_hash.h"
#include "web/tls_identity.h"
#include "web/web_log.h"
#include "web/web_router.h"
#include "web/web_worker.h"

#include <microhttpd.h>
#include <sodium.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <deque>
#include <optional>

namespace vistrel {

namespace {

constexpr unsigned kConnectionLimit = 64;
constexpr unsigned kConnectionsPerAddress = 16;
constexpr unsigned kHeadTimeoutSeconds = 5;  // to send the request line and headers
constexpr unsigned kIdleTimeoutSeconds = 30; // once a request's head is in
constexpr size_t kConnectionMemoryBytes = 48 * 1024; // above the 16 KiB head limit, with room to answer
constexpr int kMaxPasswordChecks = 8;                // waiting or running at once
constexpr auto kFailedLoginDelay = std::chrono::seconds(1);
constexpr auto kStatusPushInterval = std::chrono::milliseconds(500);
constexpr auto kKeepAliveInterval = std::chrono::seconds(15);
constexpr size_t kMaxQueuedEvents = 256;
constexpr size_t kStreamBlockBytes = 32 * 1024;
const char* const kBoundary = "vistrelframe";

// Sent with every answer of ours: no inline script, no framing, no guessing of
// types, no referrer leaving the server. "same-origin", not "no-referrer":
// under "no-referrer" browsers send "Origin: null" with our own pages' POSTs
// (the login form, an export), which the Origin check must then refuse.
const std::pair<const char*, const char*> kSecurityHeaders[] = {
    {"Content-Security-Policy",
     "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' blob:; connect-src 'self'; "
     "media-src 'self'; form-action 'self'; base-uri 'none'; frame-ancestors 'none'"},
    {"X-Content-Type-Options", "nosniff"},
    {"X-Frame-Options", "DENY"},
    {"Referrer-Policy", "same-origin"},
    {"Cross-Origin-Resource-Policy", "same-origin"},
};

enum StreamKind { kPictures, kStatus, kEvents };

std::string AddressText(const sockaddr* address)
{
    char text[INET6_ADDRSTRLEN] = "";
    if (!address)
        return text;
    if (address->sa_family == AF_INET)
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
    else if (address->sa_family == AF_INET6)
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
    return text;
}

// Server-Sent Events carry one line per "data:" field.
std::string EventMessage(std::string_view name, std::string_view data)
{
    std::string message;
    if (!name.empty())
        message.append("event: ").append(name).append("\n");
    while (true) {
        const size_t newline = data.find('\n');
        message.append("data: ").append(data.substr(0, newline)).append("\n");
        if (newline == std::string_view::npos)
            break;
        data.remove_prefix(newline + 1);
    }
    message += "\n";
    return message;
}

} // namespace

// The per-connection state: the raw target of the request being read, which
// libmicrohttpd hands over only already decoded.
struct WebConnectionState {
    std::string target;
};

// One request while it is read, checked and answered.
struct WebRequestState {
    WebRequest request;
    std::optional<LoginOutcome> outcome; // set by the worker under checksMutex_
    bool checking = false;
    MHD_Connection* connection = nullptr;
};

// One client of a stream: MJPEG pictures of a camera, or Server-Sent Events
// of the status or of the event log. Read by the polling thread; the
// recorder's threads and the worker hand it new content and resume it.
struct StreamClient {
    StreamKind kind = kPictures;
    int camera = 0;
    MHD_Connection* connection = nullptr;

    std::mutex mutex; // guards every field below
    bool suspended = false;
    bool closed = false; // the connection is gone: never resume it again
    bool ended = false;  // the stream ends at the next read
    WebFrame latest;     // pictures: the newest not yet begun (one at most)
    uint64_t sentSequence = 0;
    std::shared_ptr<const std::string> status; // status: the newest text
    std::shared_ptr<const std::string> sentStatus;
    std::deque<std::string> events;
    bool keepAliveDue = false;
    // What is being sent: head, then the shared picture bytes, then tail.
    std::string head;
    std::shared_ptr<const std::vector<uint8_t>> bytes;
    std::string tail;
    size_t offset = 0;

    size_t TransitSize() const { return head.size() + (bytes ? bytes->size() : 0) + tail.size(); }

    // Called with the mutex held.
    void Wake()
    {
        if (suspended && !closed) {
            suspended = false;
            MHD_resume_connection(connection);
        }
    }
};

struct WebServerCallbacks {
    static MHD_Result Access(void* cls, MHD_Connection* connection, const char*, const char* method, const char*,
                             const char* uploadData, size_t* uploadDataSize, void** requestContext)
    {
        return static_cast<WebServer*>(cls)->Handle(connection, method, uploadData, uploadDataSize, requestContext)
            ? MHD_YES
            : MHD_NO;
    }

    static void Completed(void*, MHD_Connection*, void** requestContext, MHD_RequestTerminationCode)
    {
        delete static_cast<WebRequestState*>(*requestContext);
        *requestContext = nullptr;
    }

    static void Connection(void*, MHD_Connection*, void** socketContext, MHD_ConnectionNotificationCode code)
    {
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            *socketContext = new WebConnectionState;
        } else {
            delete static_cast<WebConnectionState*>(*socketContext);
            *socketContext = nullptr;
        }
    }

    static void* TargetSeen(void*, const char* uri, MHD_Connection* connection)
    {
        const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        if (info && info->socket_context)
            static_cast<WebConnectionState*>(info->socket_context)->target = uri ? uri : "";
        return nullptr;
    }

    static void Log(void*, const char* format, va_list arguments)
    {
        qCDebug(lcWeb, "libmicrohttpd: %s", StringPrintfV(format, arguments).c_str());
    }

    struct StreamHolder {
        WebServer* server;
        std::shared_ptr<StreamClient> client;
    };

    static ssize_t Read(void* cls, uint64_t, char* buffer, size_t max)
    {
        auto* holder = static_cast<StreamHolder*>(cls);
        return holder->server->ReadStream(*holder->client, buffer, max);
    }

    static void StreamFreed(void* cls)
    {
        std::unique_ptr<StreamHolder> holder(static_cast<StreamHolder*>(cls));
        holder->server->StreamClosed(holder->client);
    }

    static void FreeString(void* cls) { delete static_cast<std::string*>(cls); }

    static void FreeBytes(void* cls) { delete static_cast<std::shared_ptr<const std::vector<uint8_t>>*>(cls); }
};

std::string WebStartText(const WebStartResult& result, const WebServerConfig& config)
{
    const std::string where = config.settings.bind + " port " + std::to_string(config.settings.port);
    switch (result.status) {
    case WebStartStatus::Started:
    case WebStartStatus::Disabled:
        return {};
    case WebStartStatus::BadSettings:
        return WebSettingsProblemText(result.problem);
    case WebStartStatus::TlsFailed:
        return "The web server's certificate could not be loaded or made: " + std::string(std::strerror(-result.error))
            + ".";
    case WebStartStatus::ListenFailed:
        return "The web server could not listen on " + where + ": " + std::string(std::strerror(-result.error)) + ".";
    }
    return {};
}

WebServer::WebServer(IWebBackend& backend, const WebServerConfig& config)
    : backend_(backend)
    , config_(config)
    , router_(std::make_unique<WebRouter>(backend, config.settings, config.instance))
{
}

WebStartResult WebServer::Start(IWebBackend& backend, const WebServerConfig& config)
{
    WebStartResult result;
    const WebSettings& settings = config.settings;
    if (!settings.enable)
        return result;
    result.problem = CheckWebSettings(settings);
    if (result.problem != WebSettingsProblem::None) {
        result.status = WebStartStatus::BadSettings;
        return result;
    }
    if (!SodiumReady()) {
        result.status = WebStartStatus::ListenFailed;
        result.error = -ENOMEM;
        return result;
    }

    std::unique_ptr<WebServer> server(new WebServer(backend, config));
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_SUSPEND_RESUME | MHD_USE_ERROR_LOG;
    if (settings.tls) {
        TlsIdentity identity;
        const int loaded = settings.certFile.empty()
            ? LoadOrMakeSelfSigned(config.storeFolder, config.instance, &identity)
            : LoadTlsFiles(settings.certFile, settings.keyFile, &identity);
        if (loaded != 0) {
            result.status = WebStartStatus::TlsFailed;
            result.error = loaded;
            return result;
        }
        server->fingerprint_ = CertificateFingerprint(identity.certificatePem);
        server->certificatePem_ = std::move(identity.certificatePem);
        server->keyPem_ = std::move(identity.keyPem);
        flags |= MHD_USE_TLS;
    }

    sockaddr_in v4{};
    sockaddr_in6 v6{};
    const sockaddr* address = nullptr;
    if (inet_pton(AF_INET, settings.bind.c_str(), &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(static_cast<uint16_t>(settings.port));
        address = reinterpret_cast<const sockaddr*>(&v4);
    } else {
        inet_pton(AF_INET6, settings.bind.c_str(), &v6.sin6_addr);
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(static_cast<uint16_t>(settings.port));
        address = reinterpret_cast<const sockaddr*>(&v6);
        flags |= MHD_USE_IPv6;
    }

    // libmicrohttpd reports the reason of a failed bind only in errno.
    server->worker_ = std::make_unique<WebWorker>();
    errno = 0;
    WebServer* self = server.get();
    MHD_OptionItem tlsOptions[] = {
        {MHD_OPTION_HTTPS_MEM_CERT, 0, const_cast<char*>(self->certificatePem_.c_str())},
        {MHD_OPTION_HTTPS_MEM_KEY, 0, const_cast<char*>(self->keyPem_.c_str())},
        {MHD_OPTION_END, 0, nullptr},
    };
    if (!settings.tls)
        tlsOptions[0] = {MHD_OPTION_END, 0, nullptr};
    self->daemon_ = MHD_start_daemon(
        flags, 0, nullptr, nullptr, &WebServerCallbacks::Access, self, MHD_OPTION_EXTERNAL_LOGGER,
        &WebServerCallbacks::Log, self, MHD_OPTION_STRICT_FOR_CLIENT, 1, MHD_OPTION_SOCK_ADDR, address,
        MHD_OPTION_CONNECTION_LIMIT, kConnectionLimit, MHD_OPTION_PER_IP_CONNECTION_LIMIT, kConnectionsPerAddress,
        MHD_OPTION_CONNECTION_TIMEOUT, kHeadTimeoutSeconds, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
        kConnectionMemoryBytes, MHD_OPTION_NOTIFY_COMPLETED, &WebServerCallbacks::Completed, self,
        MHD_OPTION_NOTIFY_CONNECTION, &WebServerCallbacks::Connection, self, MHD_OPTION_URI_LOG_CALLBACK,
        &WebServerCallbacks::TargetSeen, self, MHD_OPTION_ARRAY, tlsOptions, MHD_OPTION_END);
    if (!self->daemon_) {
        result.status = WebStartStatus::ListenFailed;
        result.error = errno != 0 ? -errno : -EADDRNOTAVAIL;
        return result;
    }
    const MHD_DaemonInfo* info = MHD_get_daemon_info(self->daemon_, MHD_DAEMON_INFO_BIND_PORT);
    self->port_ = info ? info->port : static_cast<uint16_t>(settings.port);
    backend.SetListener(self);
    result.status = WebStartStatus::Started;
    result.server = std::move(server);
    return result;
}

WebServer::~WebServer()
{
    Stop();
}

// Every suspended connection is resumed before libmicrohttpd stops, as it
// requires; a resumed stream ends at its next read because stopping_ is set.
void WebServer::Stop()
{
    if (daemon_)
        backend_.SetListener(nullptr);
    stopping_ = true;
    if (worker_)
        worker_->Stop();
    {
        std::lock_guard lock(checksMutex_);
        for (WebRequestState* state : checking_) {
            state->outcome = LoginOutcome::Unavailable;
            MHD_resume_connection(state->connection);
        }
        checking_.clear();
    }
    {
        std::lock_guard lock(streamsMutex_);
        for (const std::shared_ptr<StreamClient>& client : streams_) {
            std::lock_guard clientLock(client->mutex);
            client->ended = true;
            client->Wake();
        }
    }
    if (daemon_) {
        MHD_stop_daemon(daemon_);
        daemon_ = nullptr;
    }
}

bool WebServer::Handle(MHD_Connection* connection, const char* method, const char* uploadData, size_t* uploadDataSize,
                      void** requestContext)
{
    auto* state = static_cast<WebRequestState*>(*requestContext);
    if (!state) {
        state = new WebRequestState;
        *requestContext = state;
        state->connection = connection;
        WebRequest& request = state->request;
        request.method = method ? method : "";
        request.tls = config_.settings.tls;
        const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        if (info && info->socket_context)
            request.target = static_cast<WebConnectionState*>(info->socket_context)->target;
        info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        request.peer = AddressText(info ? info->client_addr : nullptr);
        MHD_get_connection_values(
            connection, MHD_HEADER_KIND,
            [](void* cls, MHD_ValueKind, const char* key, const char* value) {
                static_cast<TextPairs*>(cls)->emplace_back(key ? key : "", value ? value : "");
                return MHD_YES;
            },
            &request.headers);
        if (const std::string* length = request.Header("Content-Length")) {
            if (length->size() > 9 || std::strtoull(length->c_str(), nullptr, 10) > kMaxRequestBodyBytes)
                request.bodyTooLarge = true;
        }
        // The head is in: from now on the client has the idle time-out.
        MHD_set_connection_option(connection, MHD_CONNECTION_OPTION_TIMEOUT, kIdleTimeoutSeconds);
        if (request.bodyTooLarge)
            return Answer(connection, *state);
        return true;
    }
    if (*uploadDataSize != 0) {
        WebRequest& request = state->request;
        if (!request.bodyTooLarge && request.body.size() + *uploadDataSize <= kMaxRequestBodyBytes) {
            request.body.append(uploadData, *uploadDataSize);
        } else {
            request.bodyTooLarge = true;
            request.body.clear();
        }
        *uploadDataSize = 0;
        return true;
    }
    return Answer(connection, *state);
}

bool WebServer::Answer(MHD_Connection* connection, WebRequestState& state)
{
    const WebClock::time_point now = WebClock::now();
    std::optional<LoginOutcome> outcome;
    {
        std::lock_guard lock(checksMutex_);
        outcome = state.outcome;
    }
    WebReply reply;
    if (outcome) {
        state.checking = false;
        reply = router_->FinishLogin(state.request, *outcome, now);
    } else if (state.checking) {
        return true; // only the check resumes it, with an outcome
    } else {
        reply = router_->Handle(state.request, now);
    }
    if (reply.kind == WebReplyKind::CheckPassword)
        return CheckPassword(connection, state, std::move(reply.user), std::move(reply.password));

    const bool head = state.request.method == "HEAD";
    if (!head && reply.kind == WebReplyKind::MjpegStream)
        return OpenStream(connection, kPictures, reply.camera);
    if (!head && reply.kind == WebReplyKind::StatusStream)
        return OpenStream(connection, kStatus, 0);
    if (!head && reply.kind == WebReplyKind::EventStream)
        return OpenStream(connection, kEvents, 0);

    MHD_Response* response = nullptr;
    if (reply.kind == WebReplyKind::File) {
        // The path came from the recorder's export job, never from the request.
        const int fd = ::open(reply.file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY);
        struct stat info {};
        if (fd >= 0 && ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
            response = MHD_create_response_from_fd64(static_cast<uint64_t>(info.st_size), fd);
            if (!response)
                ::close(fd);
        } else {
            if (fd >= 0)
                ::close(fd);
            reply = WebReply();
            reply.status = 404;
            reply.contentType = "application/json";
            reply.body = "{\"error\":\"the exported file is gone\"}";
        }
    } else if (reply.kind == WebReplyKind::MjpegStream) {
        reply.contentType = std::string("multipart/x-mixed-replace; boundary=") + kBoundary;
    } else if (reply.kind == WebReplyKind::StatusStream || reply.kind == WebReplyKind::EventStream) {
        reply.contentType = "text/event-stream";
    }
    if (!response && reply.bytes) {
        auto* held = new std::shared_ptr<const std::vector<uint8_t>>(std::move(reply.bytes));
        response = MHD_create_response_from_buffer_with_free_callback_cls(
            (*held)->size(), const_cast<uint8_t*>((*held)->data()), &WebServerCallbacks::FreeBytes, held);
        if (!response)
            delete held;
    } else if (!response) {
        auto* held = new std::string(std::move(reply.body));
        response = MHD_create_response_from_buffer_with_free_callback_cls(held->size(), held->data(),
                                                                          &WebServerCallbacks::FreeString, held);
        if (!response)
            delete held;
    }
    if (!response)
        return false;
    for (const auto& [name, value] : kSecurityHeaders)
        MHD_add_response_header(response, name, value);
    if (!reply.contentType.empty())
        MHD_add_response_header(response, "Content-Type", reply.contentType.c_str());
    MHD_add_response_header(response, "Cache-Control", "no-store");
    for (const auto& [name, value] : reply.headers)
        MHD_add_response_header(response, name.c_str(), value.c_str());
    const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(reply.status), response);
    MHD_destroy_response(response);
    return queued == MHD_YES;
}

bool WebServer::CheckPassword(MHD_Connection* connection, WebRequestState& state, std::string user,
                             std::string password)
{
    {
        std::lock_guard lock(checksMutex_);
        if (stopping_ || static_cast<int>(checking_.size()) >= kMaxPasswordChecks) {
            state.outcome = LoginOutcome::Unavailable;
        } else {
            state.checking = true;
            checking_.insert(&state);
        }
    }
    if (!state.checking) {
        sodium_memzero(password.data(), password.size());
        return Answer(connection, state);
    }
    // Suspended first: the worker may resume it at once.
    MHD_suspend_connection(connection);
    WebRequestState* request = &state;
    const WebSettings& settings = router_->settings();
    const bool posted = worker_->Post([this, request, &settings, user = std::move(user), password = std::move(password)]() mutable {
        const bool verified = WebRouter::CredentialsMatch(settings, user, password);
        sodium_memzero(password.data(), password.size());
        const LoginOutcome outcome = verified ? LoginOutcome::Verified : LoginOutcome::Refused;
        // A failed login is answered a second later, so guessing is slow even
        // below the limit per address.
        if (verified)
            PasswordChecked(request, static_cast<int>(outcome));
        else
            worker_->Post([this, request, outcome] { PasswordChecked(request, static_cast<int>(outcome)); },
                          WebClock::now() + kFailedLoginDelay);
    });
    if (!posted)
        PasswordChecked(request, static_cast<int>(LoginOutcome::Unavailable));
    return true;
}

// On the worker (or the polling thread when the worker refused the task).
void WebServer::PasswordChecked(WebRequestState* state, int outcome)
{
    std::lock_guard lock(checksMutex_);
    // Stop may have answered it already.
    if (checking_.erase(state) == 0)
        return;
    state->outcome = static_cast<LoginOutcome>(outcome);
    MHD_resume_connection(state->connection);
}

bool WebServer::OpenStream(MHD_Connection* connection, int kind, int camera)
{
    auto client = std::make_shared<StreamClient>();
    client->kind = static_cast<StreamKind>(kind);
    client->camera = camera;
    client->connection = connection;
    const char* type = "text/event-stream";
    if (kind == kPictures) {
        type = "multipart/x-mixed-replace; boundary=vistrelframe";
        client->latest = backend_.LatestFrame(camera);
    } else {
        client->head = "retry: 3000\n\n";
        if (kind == kStatus)
            client->status = std::make_shared<const std::string>(StatusJson(backend_.Status()));
    }

    auto* holder = new WebServerCallbacks::StreamHolder{this, client};
    MHD_Response* response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, kStreamBlockBytes,
                                                               &WebServerCallbacks::Read, holder,
                                                               &WebServerCallbacks::StreamFreed);
    if (!response) {
        delete holder;
        return false;
    }
    for (const auto& [name, value] : kSecurityHeaders)
        MHD_add_response_header(response, name, value);
    MHD_add_response_header(response, "Content-Type", type);
    MHD_add_response_header(response, "Cache-Control", "no-store");

    std::array<int, kWebCameras> viewers{};
    bool changed = false;
    {
        std::lock_guard lock(streamsMutex_);
        streams_.push_back(client);
        if (kind == kPictures) {
            ++pictureViewers_[camera];
            changed = true;
        } else if (kind == kStatus) {
            ++statusViewers_;
            changed = true;
        } else {
            eventViewersNow_.fetch_add(1);
        }
        for (int c = 0; c < kWebCameras; ++c) {
            viewers[c] = pictureViewers_[c] + statusViewers_;
            pictureViewersNow_[c].store(pictureViewers_[c]);
        }
    }
    ScheduleTick();
    if (changed) {
        for (int c = 0; c < kWebCameras; ++c) {
            if (kind == kStatus || c == camera)
                backend_.SetViewers(c, viewers[c]);
        }
    }
    const MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return queued == MHD_YES;
}

ssize_t WebServer::ReadStream(StreamClient& client, char* buffer, size_t max)
{
    std::lock_guard lock(client.mutex);
    if (client.ended || stopping_)
        return MHD_CONTENT_READER_END_WITH_ERROR;
    if (client.offset >= client.TransitSize()) {
        client.head.clear();
        client.bytes.reset();
        client.tail.clear();
        client.offset = 0;
        if (client.kind == kPictures) {
            if (client.latest.jpeg && (client.latest.sequence != client.sentSequence || client.keepAliveDue)) {
                client.head = std::string("--") + kBoundary + "\r\nContent-Type: image/jpeg\r\nContent-Length: "
                    + std::to_string(client.latest.jpeg->size()) + "\r\n\r\n";
                client.bytes = std::move(client.latest.jpeg);
                client.tail = "\r\n";
                client.sentSequence = client.latest.sequence;
            }
            client.latest = WebFrame();
        } else if (client.kind == kStatus) {
            if (client.status && client.status != client.sentStatus) {
                client.head = EventMessage("status", *client.status);
                client.sentStatus = client.status;
            }
        } else {
            for (const std::string& event : client.events)
                client.head += EventMessage("", event);
            client.events.clear();
        }
        if (client.TransitSize() == 0 && client.keepAliveDue && client.kind != kPictures)
            client.head = ": keep-alive\n\n";
        client.keepAliveDue = false;
        if (client.TransitSize() == 0) {
            // Nothing new: the connection sleeps until a wake-up, costing
            // nothing meanwhile.
            client.suspended = true;
            MHD_suspend_connection(client.connection);
            return 0;
        }
    }
    size_t copied = 0;
    while (copied < max && client.offset < client.TransitSize()) {
        size_t at = client.offset;
        const uint8_t* from = nullptr;
        size_t available = 0;
        if (at < client.head.size()) {
            from = reinterpret_cast<const uint8_t*>(client.head.data()) + at;
            available = client.head.size() - at;
        } else if (at -= client.head.size(), client.bytes && at < client.bytes->size()) {
            from = client.bytes->data() + at;
            available = client.bytes->size() - at;
        } else {
            at -= client.bytes ? client.bytes->size() : 0;
            from = reinterpret_cast<const uint8_t*>(client.tail.data()) + at;
            available = client.tail.size() - at;
        }
        const size_t count = std::min(available, max - copied);
        std::memcpy(buffer + copied, from, count);
        copied += count;
        client.offset += count;
    }
    return static_cast<ssize_t>(copied);
}

void WebServer::StreamClosed(const std::shared_ptr<StreamClient>& client)
{
    {
        std::lock_guard lock(client->mutex);
        client->closed = true;
    }
    std::array<int, kWebCameras> viewers{};
    bool changed = false;
    {
        std::lock_guard lock(streamsMutex_);
        const auto it = std::find(streams_.begin(), streams_.end(), client);
        if (it == streams_.end())
            return;
        streams_.erase(it);
        if (client->kind == kPictures) {
            --pictureViewers_[client->camera];
            changed = true;
        } else if (client->kind == kStatus) {
            --statusViewers_;
            changed = true;
        } else {
            eventViewersNow_.fetch_sub(1);
        }
        for (int c = 0; c < kWebCameras; ++c) {
            viewers[c] = pictureViewers_[c] + statusViewers_;
            pictureViewersNow_[c].store(pictureViewers_[c]);
        }
    }
    if (changed) {
        for (int c = 0; c < kWebCameras; ++c) {
            if (client->kind == kStatus || c == client->camera)
                backend_.SetViewers(c, viewers[c]);
        }
    }
}

void WebServer::FrameReady(int camera, const WebFrame& frame)
{
    if (camera < 0 || camera >= kWebCameras || pictureViewersNow_[camera].load(std::memory_order_relaxed) == 0)
        return;
    std::lock_guard lock(streamsMutex_);
    for (const std::shared_ptr<StreamClient>& client : streams_) {
        if (client->kind != kPictures || client->camera != camera)
            continue;
        std::lock_guard clientLock(client->mutex);
        // Only the newest picture waits: a slow viewer skips frames.
        client->latest = frame;
        client->Wake();
    }
}

void WebServer::StatusChanged()
{
    statusDirty_.store(true, std::memory_order_relaxed);
}

void WebServer::EventAdded(const std::string& eventJson)
{
    if (eventViewersNow_.load(std::memory_order_relaxed) == 0)
        return;
    std::lock_guard lock(streamsMutex_);
    for (const std::shared_ptr<StreamClient>& client : streams_) {
        if (client->kind != kEvents)
            continue;
        std::lock_guard clientLock(client->mutex);
        // A client this far behind has stopped reading: its stream ends, and
        // the page reloads the list when it connects again.
        if (client->events.size() >= kMaxQueuedEvents)
            client->ended = true;
        else
            client->events.push_back(eventJson);
        client->Wake();
    }
}

void WebServer::ScheduleTick()
{
    {
        std::lock_guard lock(streamsMutex_);
        if (tickScheduled_ || streams_.empty())
            return;
        tickScheduled_ = true;
    }
    worker_->Post([this] { Tick(); }, WebClock::now() + kStatusPushInterval);
}

// On the worker while any stream is open: pushes the status (at most twice a
// second, the newest only) and, every 15 s, something on every stream, so a
// client that went away without a word is found and its connection freed.
void WebServer::Tick()
{
    const WebClock::time_point now = WebClock::now();
    if (nextKeepAlive_ == WebClock::time_point())
        nextKeepAlive_ = now + kKeepAliveInterval;
    const bool keepAlive = now >= nextKeepAlive_;
    if (keepAlive)
        nextKeepAlive_ = now + kKeepAliveInterval;

    int statusViewers = 0;
    std::array<int, kWebCameras> pictureViewers{};
    {
        std::lock_guard lock(streamsMutex_);
        statusViewers = statusViewers_;
        pictureViewers = pictureViewers_;
    }
    std::shared_ptr<const std::string> status;
    if (statusViewers > 0 && statusDirty_.exchange(false, std::memory_order_relaxed))
        status = std::make_shared<const std::string>(StatusJson(backend_.Status()));
    std::array<WebFrame, kWebCameras> frames;
    if (keepAlive) {
        for (int c = 0; c < kWebCameras; ++c) {
            if (pictureViewers[c] > 0)
                frames[c] = backend_.LatestFrame(c);
        }
    }

    bool again = false;
    {
        std::lock_guard lock(streamsMutex_);
        for (const std::shared_ptr<StreamClient>& client : streams_) {
            std::lock_guard clientLock(client->mutex);
            bool wake = false;
            if (client->kind == kStatus && status) {
                client->status = status;
                wake = true;
            }
            if (keepAlive) {
                client->keepAliveDue = true;
                if (client->kind == kPictures && !client->latest.jpeg)
                    client->latest = frames[client->camera];
                wake = true;
            }
            if (wake)
                client->Wake();
        }
        again = !streams_.empty();
        tickScheduled_ = again;
    }
    if (again)
        worker_->Post([this] { Tick(); }, now + kStatusPushInterval);
}

} // namespace vistrel
