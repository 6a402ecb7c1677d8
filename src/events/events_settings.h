// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/recorder_display.h" // kCameraCount

#include <array>
#include <string>
#include <vector>

namespace vistrel {

class CRegistryKey;

// What the events do with an instance's edges: the MQTT broker, the hook,
// and per camera the desktop notifications and the gap that joins motion
// into one event. Most values live in the key
// "Software\Tallow Software\Vistrel\Camera%d\Events" (written only by its
// dialog, as it may hold a password); "NotifyDesktop" and "EventGapS" in
// each camera's "MuxedCam%c" key.
struct EventsSettings {
    static constexpr int kMaxTimeoutS = 3600;
    static constexpr int kMaxGapS = 3600;

    std::string mqttHost;
    int mqttPort = 0; // 0: MQTT off
    std::string mqttUser;
    std::string mqttPassword;
    int mqttTls = 0;
    std::string mqttCaFile;  // empty: the system's certificate authorities
    std::string mqttTopic;   // empty: "vistrel/<host name>/<instance>"
    std::string hook;        // a command line; empty: no hook
    std::string hookEvents = "motion-start,motion-end";
    int hookTimeoutS = 30;
    std::array<int, kCameraCount> notifyDesktop{}; // off by default
    std::array<int, kCameraCount> eventGapS{10, 10, 10, 10, 10, 10, 10, 10};

    bool MqttOn() const { return mqttPort != 0; }
};

// "Software\Tallow Software\Vistrel\Camera%d\Events"
std::string EventsKeyPath(int instance);

// What cannot be used, one clear sentence per value; empty when all can.
std::vector<std::string> ValidateEventsSettings(const EventsSettings& settings);

// Reads the values of `instance` from the store under HKEY_LOCAL_MACHINE
// (creating no key); absent values keep their defaults. A value that cannot
// be used is set back to its default, so that a bad hand-edit switches that
// part off rather than running it wrongly, and is named in `problems`.
EventsSettings ReadEventsSettings(CRegistryKey& key, int instance, std::vector<std::string>* problems = nullptr);

// The topic prefix in force: the setting without trailing slashes, or
// "vistrel/<host name>/<instance>".
std::string MqttTopicPrefix(const EventsSettings& settings, const std::string& hostName, int instance);

} // namespace vistrel
