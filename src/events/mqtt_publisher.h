// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/event.h"
#include "events/event_listener.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

struct mosquitto;

namespace vistrel {

struct MqttOptions {
    std::string host;
    int port = 1883;
    std::string user; // empty: no user name and no password
    std::string password;
    bool tls = false;
    std::string caFile; // empty with TLS: the system's certificate authorities
    std::string prefix; // topic prefix P, without a trailing slash
    // Who this recorder is, in ids of the broker and Home Assistant.
    std::string hostName;
    int instance = 1;
    std::string cameras; // the letters announced to Home Assistant, such as "AB"
    std::chrono::seconds reconnectMin{1};
    std::chrono::seconds reconnectMax{30};
    size_t queueLimit = 1000;                    // messages the broker has not yet taken
    size_t queueBytesLimit = 64u << 20;          // and their bytes
    size_t snapshotBytesLimit = 8u << 20;        // a larger image is not sent
    std::function<void(const std::string&)> report; // one line for people; standard error if unset
};

// "vistrel_<host>_<instance>_<letter>_<what>" with the host name reduced to
// what Home Assistant accepts in an id (letters, digits, _ and -).
std::string DiscoveryId(const std::string& hostName, int instance, char camera, const std::string& what);

// Tells an MQTT broker what happens, for dashboards and Home Assistant:
//   P/status               online / offline (retained; offline is also the last will)
//   P/<letter>/motion      ON / OFF (retained)
//   P/<letter>/recording   ON / OFF (retained)
//   P/<letter>/fault       why the camera is not recording, or "" (retained)
//   P/<letter>/event       the event's JSON at each edge
//   P/<letter>/snapshot    the event's first image, the JPEG file's bytes (retained)
//   P/event                the JSON of events of no camera (the recorder's)
// and, retained, a discovery config per camera for a motion sensor, a camera
// fed by the snapshots and a recording-problem sensor, all grouped as one
// device and available while P/status is online.
//
// Everything goes at QoS 1. While the broker is away, messages wait (up to
// the limits; further ones are dropped and counted) and go when it is back;
// the retained topics are published again after every connection. Nothing
// here waits for the broker: libmosquitto's own thread talks to it and
// reconnects with a growing delay. Passwords never appear in a report.
//
// OnEdge is called on the event hub's thread; the counters may be read from
// any thread. The destructor says offline (waiting a moment for the broker
// to take it) and stops the library's thread.
class MqttPublisher : public IEventListener {
public:
    explicit MqttPublisher(MqttOptions options);
    ~MqttPublisher() override;
    MqttPublisher(const MqttPublisher&) = delete;
    MqttPublisher& operator=(const MqttPublisher&) = delete;

    void OnEdge(const EventEdge& edge, const Event& event) override;

    bool connected() const { return connected_.load(); }
    uint64_t dropped() const { return dropped_.load(); }
    // Messages given to the library and not yet taken by the broker.
    size_t waiting() const;

private:
    struct Outgoing {
        std::string topic;
        std::string payload;
        bool retain = false;
    };
    struct CameraState {
        bool lost = false;
        std::string fault;
        std::string snapshotImage; // the image last sent as the snapshot
    };

    static void OnConnect(mosquitto*, void* self, int rc);
    static void OnDisconnect(mosquitto*, void* self, int rc);
    static void OnPublish(mosquitto*, void* self, int mid);

    void Connect();
    void Retained(const std::string& topic, std::string payload);
    void Publish(const std::string& topic, const std::string& payload, bool retain);
    void PublishLocked(const std::string& topic, const std::string& payload, bool retain);
    void Send(const std::string& topic, const std::string& payload, bool retain);
    void PublishCameraState(char camera);
    void PublishSnapshot(char camera, const std::string& image);
    void Discovery(char camera);
    void Report(const std::string& line);

    const MqttOptions options_;
    mosquitto* mosq_ = nullptr;
    std::atomic<bool> connected_{false};
    std::atomic<uint64_t> dropped_{0};

    // Guards everything down to droppingReported_; connected_ changes under it
    // too, so nothing lands in the outbox after it was sent.
    mutable std::mutex mutex_;
    std::condition_variable taken_;               // a message was taken by the broker
    std::map<std::string, std::string> retained_; // topic -> payload, published again at each reconnection
    std::deque<Outgoing> outbox_;                 // published while not connected
    std::map<int, size_t> waiting_;               // message id -> bytes, given to the library, not yet taken
    size_t waitingBytes_ = 0;                     // of the outbox and of waiting_
    bool everConnected_ = false;
    bool lostReported_ = false;
    bool droppingReported_ = false;

    // Hub thread only.
    std::array<CameraState, 8> cameras_;

    std::thread connector_; // resolves the broker's name and starts the library's thread, then ends
};

} // namespace vistrel
