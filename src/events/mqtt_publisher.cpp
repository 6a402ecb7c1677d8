// SPDX-License-Identifier: GPL-3.0-or-later
#include "events/mqtt_publisher.h"

#include <mosquitto.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <fstream>
#include <mutex>

namespace vistrel {

namespace {

constexpr int kKeepAliveS = 30;
constexpr std::chrono::seconds kOfflineWait{2};

void InitLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

std::string IdPart(const std::string& text)
{
    std::string id;
    for (const char c : text) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'
            || c == '-';
        id += keep ? c : '_';
    }
    return id;
}

QString Q(const std::string& text)
{
    return QString::fromStdString(text);
}

std::string Json(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString();
}

bool CameraIndex(char camera, size_t& index)
{
    if (camera < 'A' || camera > 'H')
        return false;
    index = size_t(camera - 'A');
    return true;
}

} // namespace

std::string DiscoveryId(const std::string& hostName, int instance, char camera, const std::string& what)
{
    return "vistrel_" + IdPart(hostName) + "_" + std::to_string(instance) + "_" + std::string(1, camera) + "_" + what;
}

MqttPublisher::MqttPublisher(MqttOptions options)
    : options_(std::move(options))
{
    InitLibrary();
    const std::string clientId = "vistrel_" + IdPart(options_.hostName) + "_" + std::to_string(options_.instance);
    // A clean session: what this recorder publishes waits on this side, in
    // the library, and nothing needs to wait on the broker for it.
    mosq_ = mosquitto_new(clientId.c_str(), true, this);
    if (!mosq_) {
        Report("MQTT cannot be used: the client cannot be made");
        return;
    }
    mosquitto_connect_callback_set(mosq_, &MqttPublisher::OnConnect);
    mosquitto_disconnect_callback_set(mosq_, &MqttPublisher::OnDisconnect);
    mosquitto_publish_callback_set(mosq_, &MqttPublisher::OnPublish);
    mosquitto_reconnect_delay_set(mosq_, unsigned(options_.reconnectMin.count()),
                                  unsigned(options_.reconnectMax.count()), true);
    const std::string status = options_.prefix + "/status";
    const std::string offline = "offline";
    mosquitto_will_set(mosq_, status.c_str(), int(offline.size()), offline.data(), 1, true);
    if (!options_.user.empty())
        mosquitto_username_pw_set(mosq_, options_.user.c_str(),
                                  options_.password.empty() ? nullptr : options_.password.c_str());
    if (options_.tls) {
        const char* caFile = options_.caFile.empty() ? nullptr : options_.caFile.c_str();
        const int rc = mosquitto_tls_set(mosq_, caFile, caFile ? nullptr : "/etc/ssl/certs", nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            Report("MQTT cannot be used: TLS with the certificate authorities of \""
                   + (caFile ? options_.caFile : std::string("/etc/ssl/certs")) + "\": " + mosquitto_strerror(rc));
            mosquitto_destroy(mosq_);
            mosq_ = nullptr;
            return;
        }
    }

    // What a dashboard should see from the start: online, no motion left
    // over from an earlier run, every camera recording until told otherwise.
    Retained(status, "online");
    for (const char camera : options_.cameras) {
        size_t index = 0;
        if (!CameraIndex(camera, index))
            continue;
        Discovery(camera);
        Retained(options_.prefix + "/" + camera + "/motion", "OFF");
        PublishCameraState(camera);
    }
    // The broker's name may take a while to resolve: not on the caller's time.
    connector_ = std::thread([this] { Connect(); });
}

MqttPublisher::~MqttPublisher()
{
    if (connector_.joinable())
        connector_.join();
    if (!mosq_)
        return;
    {
        // A clean disconnect sends no last will: say offline first, and give
        // the broker a moment to take it.
        std::unique_lock guard(mutex_);
        if (connected_) {
            const std::string topic = options_.prefix + "/status";
            const std::string offline = "offline";
            int mid = 0;
            if (mosquitto_publish(mosq_, &mid, topic.c_str(), int(offline.size()), offline.data(), 1, true)
                == MOSQ_ERR_SUCCESS) {
                waiting_[mid] = offline.size();
                waitingBytes_ += offline.size();
                taken_.wait_for(guard, kOfflineWait, [&] { return waiting_.count(mid) == 0 || !connected_; });
            }
        }
    }
    mosquitto_disconnect(mosq_);
    mosquitto_loop_stop(mosq_, false);
    mosquitto_destroy(mosq_);
}

void MqttPublisher::Connect()
{
    const int rc = mosquitto_connect_async(mosq_, options_.host.c_str(), options_.port, kKeepAliveS);
    // A broker that is not there yet is the library thread's to retry.
    if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_ERRNO)
        Report("MQTT: the broker " + options_.host + ":" + std::to_string(options_.port)
               + " cannot be reached yet: " + mosquitto_strerror(rc));
    const int loop = mosquitto_loop_start(mosq_);
    if (loop != MOSQ_ERR_SUCCESS)
        Report(std::string("MQTT cannot be used: ") + mosquitto_strerror(loop));
}

void MqttPublisher::OnConnect(mosquitto*, void* self, int rc)
{
    auto* publisher = static_cast<MqttPublisher*>(self);
    if (rc != 0) {
        publisher->Report("MQTT: the broker " + publisher->options_.host + " refused the connection: "
                          + mosquitto_connack_string(rc));
        return;
    }
    std::lock_guard guard(publisher->mutex_);
    if (publisher->lostReported_) {
        publisher->lostReported_ = false;
        publisher->Report("MQTT: connected to the broker again");
    }
    // What waited for the connection goes first, in order; then, after a
    // reconnection, every retained topic as it is now, since a broker met
    // again may have lost them with a restart.
    for (const Outgoing& message : publisher->outbox_) {
        publisher->waitingBytes_ -= message.payload.size();
        publisher->Send(message.topic, message.payload, message.retain);
    }
    publisher->outbox_.clear();
    if (publisher->everConnected_) {
        for (const auto& [topic, payload] : publisher->retained_)
            publisher->Send(topic, payload, true);
    }
    publisher->everConnected_ = true;
    publisher->connected_ = true;
}

void MqttPublisher::OnDisconnect(mosquitto*, void* self, int rc)
{
    auto* publisher = static_cast<MqttPublisher*>(self);
    std::lock_guard guard(publisher->mutex_);
    publisher->connected_ = false;
    publisher->taken_.notify_all();
    if (rc != 0 && !publisher->lostReported_) {
        publisher->lostReported_ = true;
        publisher->Report("MQTT: lost the broker " + publisher->options_.host + ":"
                          + std::to_string(publisher->options_.port) + "; messages wait until it is back");
    }
}

void MqttPublisher::OnPublish(mosquitto*, void* self, int mid)
{
    auto* publisher = static_cast<MqttPublisher*>(self);
    std::lock_guard guard(publisher->mutex_);
    const auto it = publisher->waiting_.find(mid);
    if (it == publisher->waiting_.end())
        return;
    publisher->waitingBytes_ -= it->second;
    publisher->waiting_.erase(it);
    publisher->taken_.notify_all();
}

size_t MqttPublisher::waiting() const
{
    std::lock_guard guard(mutex_);
    return waiting_.size() + outbox_.size();
}

void MqttPublisher::Report(const std::string& line)
{
    if (options_.report)
        options_.report(line);
    else
        std::fprintf(stderr, "Vistrel: %s\n", line.c_str());
}

void MqttPublisher::Retained(const std::string& topic, std::string payload)
{
    std::lock_guard guard(mutex_);
    retained_[topic] = payload;
    PublishLocked(topic, payload, true);
}

void MqttPublisher::Publish(const std::string& topic, const std::string& payload, bool retain)
{
    std::lock_guard guard(mutex_);
    PublishLocked(topic, payload, retain);
}

void MqttPublisher::PublishLocked(const std::string& topic, const std::string& payload, bool retain)
{
    if (!mosq_)
        return;
    const size_t count = waiting_.size() + outbox_.size();
    if (count >= options_.queueLimit || waitingBytes_ + payload.size() > options_.queueBytesLimit) {
        dropped_.fetch_add(1);
        if (!droppingReported_) {
            droppingReported_ = true;
            Report("MQTT: messages are dropped: the broker " + options_.host + ":" + std::to_string(options_.port)
                   + " has not taken the " + std::to_string(count) + " before them");
        }
        return;
    }
    droppingReported_ = false;
    if (!connected_) {
        // Kept here, not in the library: it sends what it was given before
        // the first connection only when something else stirs it.
        outbox_.push_back({topic, payload, retain});
        waitingBytes_ += payload.size();
        return;
    }
    Send(topic, payload, retain);
}

// Held under mutex_, so the broker's answer (OnPublish, on the library's
// thread) cannot come before the message is counted as waiting. Should the
// connection drop meanwhile, the library keeps the message and sends it
// again after reconnecting.
void MqttPublisher::Send(const std::string& topic, const std::string& payload, bool retain)
{
    int mid = 0;
    const int rc = mosquitto_publish(mosq_, &mid, topic.c_str(), int(payload.size()), payload.data(), 1, retain);
    if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN) {
        dropped_.fetch_add(1);
        return;
    }
    waiting_[mid] = payload.size();
    waitingBytes_ += payload.size();
}

void MqttPublisher::OnEdge(const EventEdge& edge, const Event& event)
{
    size_t index = 0;
    if (!CameraIndex(event.camera, index)) {
        Publish(options_.prefix + "/event", EventJson(event), false);
        return;
    }
    const char camera = event.camera;
    const std::string base = options_.prefix + "/" + camera;
    CameraState& state = cameras_[index];
    switch (edge.kind) {
    case EdgeKind::MotionStart: Retained(base + "/motion", "ON"); break;
    case EdgeKind::MotionEnd: Retained(base + "/motion", "OFF"); break;
    case EdgeKind::CameraLost: state.lost = true; break;
    case EdgeKind::CameraBack: state.lost = false; break;
    case EdgeKind::FaultStart: state.fault = event.reason.empty() ? "saving fails" : event.reason; break;
    case EdgeKind::FaultEnd: state.fault.clear(); break;
    default: break;
    }
    if (edge.kind == EdgeKind::CameraLost || edge.kind == EdgeKind::CameraBack || edge.kind == EdgeKind::FaultStart
        || edge.kind == EdgeKind::FaultEnd)
        PublishCameraState(camera);
    Publish(base + "/event", EventJson(event), false);
    if (event.type == EventType::Motion && !event.firstImage.empty() && event.firstImage != state.snapshotImage)
        PublishSnapshot(camera, event.firstImage);
}

void MqttPublisher::PublishCameraState(char camera)
{
    size_t index = 0;
    if (!CameraIndex(camera, index))
        return;
    const CameraState& state = cameras_[index];
    const std::string base = options_.prefix + "/" + camera;
    Retained(base + "/recording", state.lost || !state.fault.empty() ? "OFF" : "ON");
    Retained(base + "/fault", state.lost ? "camera lost" : state.fault);
}

// The JPEG file as the recorder wrote it: no second encode. Read up to the
// limit, so a stray huge file costs nothing.
void MqttPublisher::PublishSnapshot(char camera, const std::string& image)
{
    size_t index = 0;
    if (!CameraIndex(camera, index))
        return;
    cameras_[index].snapshotImage = image;
    std::ifstream file(image, std::ios::binary);
    if (!file)
        return;
    std::string bytes(options_.snapshotBytesLimit + 1, '\0');
    file.read(bytes.data(), std::streamsize(bytes.size()));
    const size_t size = size_t(file.gcount());
    if (size == 0 || size > options_.snapshotBytesLimit)
        return;
    bytes.resize(size);
    bytes.shrink_to_fit();
    Retained(options_.prefix + "/" + camera + "/snapshot", std::move(bytes));
}

void MqttPublisher::Discovery(char camera)
{
    const std::string base = options_.prefix + "/" + camera;
    const std::string name = std::string("Camera ") + camera;
    QJsonObject device{
        {"identifiers", QJsonArray{Q("vistrel_" + IdPart(options_.hostName) + "_" + std::to_string(options_.instance))}},
        {"name", Q("Vistrel " + std::to_string(options_.instance) + " on " + options_.hostName)},
        {"manufacturer", "Tallow Software"},
        {"model", "Vistrel"},
    };
    const auto config = [&](const char* component, const std::string& what, QJsonObject object) {
        const std::string id = DiscoveryId(options_.hostName, options_.instance, camera, what);
        object.insert("unique_id", Q(id));
        object.insert("object_id", Q(id));
        object.insert("availability_topic", Q(options_.prefix + "/status"));
        object.insert("payload_available", "online");
        object.insert("payload_not_available", "offline");
        object.insert("device", device);
        Retained(std::string("homeassistant/") + component + "/" + id + "/config", Json(object));
    };
    config("binary_sensor", "motion",
           QJsonObject{{"name", Q(name + " motion")},
                       {"device_class", "motion"},
                       {"state_topic", Q(base + "/motion")},
                       {"payload_on", "ON"},
                       {"payload_off", "OFF"}});
    config("camera", "snapshot", QJsonObject{{"name", Q(name)}, {"topic", Q(base + "/snapshot")}});
    // A problem while the camera is not recording.
    config("binary_sensor", "problem",
           QJsonObject{{"name", Q(name + " recording problem")},
                       {"device_class", "problem"},
                       {"state_topic", Q(base + "/recording")},
                       {"payload_on", "OFF"},
                       {"payload_off", "ON"}});
}

} // namespace vistrel
