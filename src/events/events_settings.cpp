// SPDX-License-Identifier: GPL-3.0-or-later
#include "events/events_settings.h"

#include "events/hook_runner.h"
#include "settings/instance_settings.h" // CameraLetter
#include "settings/registry_key.h"
#include "settings/settings_io.h"

#include <bitset>
#include <functional>

namespace vistrel {

namespace {

std::string CameraValue(const char* name, size_t camera)
{
    return std::string("\"") + name + "\" of camera " + CameraLetter(int(camera));
}

bool IsFlag(int value)
{
    return value == 0 || value == 1;
}

// A broker half set up is no broker: a bad MQTT value switches MQTT off.
void MqttOff(EventsSettings& s)
{
    const EventsSettings defaults;
    s.mqttHost = defaults.mqttHost;
    s.mqttPort = defaults.mqttPort;
    s.mqttUser = defaults.mqttUser;
    s.mqttPassword = defaults.mqttPassword;
    s.mqttTls = defaults.mqttTls;
    s.mqttCaFile = defaults.mqttCaFile;
    s.mqttTopic = defaults.mqttTopic;
}

// One rule of the values: what is wrong with them (nothing: ""), and how the
// reader makes them usable again.
struct Rule {
    std::function<std::string(const EventsSettings&)> problem;
    std::function<void(EventsSettings&)> reset;
};

const std::vector<Rule>& Rules()
{
    static const std::vector<Rule> rules = [] {
        const EventsSettings defaults;
        std::vector<Rule> r;
        r.push_back({[](const EventsSettings& s) {
                         return s.mqttPort >= 0 && s.mqttPort <= 65535
                             ? std::string()
                             : "\"MqttPort\" must be from 0 (MQTT off) to 65535, not " + std::to_string(s.mqttPort);
                     },
                     MqttOff});
        r.push_back({[](const EventsSettings& s) {
                         return !s.MqttOn() || !s.mqttHost.empty()
                             ? std::string()
                             : "\"MqttHost\" must name the broker when \"MqttPort\" is set";
                     },
                     MqttOff});
        r.push_back({[](const EventsSettings& s) {
                         return IsFlag(s.mqttTls) ? std::string()
                                                  : "\"MqttTls\" must be 0 or 1, not " + std::to_string(s.mqttTls);
                     },
                     MqttOff});
        r.push_back({[](const EventsSettings& s) {
                         return s.mqttPassword.empty() || !s.mqttUser.empty() ? std::string()
                                                                               : "\"MqttPassword\" needs \"MqttUser\"";
                     },
                     MqttOff});
        r.push_back({[](const EventsSettings& s) {
                         return s.mqttTopic.find_first_of("+#") == std::string::npos
                             ? std::string()
                             : "\"MqttTopic\" must not hold + or #: \"" + s.mqttTopic + "\"";
                     },
                     MqttOff});
        r.push_back({[](const EventsSettings& s) {
                         std::vector<std::string> args;
                         std::string error;
                         return SplitCommandLine(s.hook, args, error)
                             ? std::string()
                             : "\"Hook\" cannot be split into arguments: " + error;
                     },
                     [](EventsSettings& s) { s.hook.clear(); }});
        r.push_back({[](const EventsSettings& s) {
                         std::bitset<kEdgeKindCount> edges;
                         const std::string error = ParseEdgeList(s.hookEvents, edges);
                         return error.empty() ? std::string() : "\"HookEvents\": " + error;
                     },
                     [defaults](EventsSettings& s) { s.hookEvents = defaults.hookEvents; }});
        r.push_back({[](const EventsSettings& s) {
                         return s.hookTimeoutS >= 1 && s.hookTimeoutS <= EventsSettings::kMaxTimeoutS
                             ? std::string()
                             : "\"HookTimeoutS\" must be from 1 to " + std::to_string(EventsSettings::kMaxTimeoutS)
                                 + " seconds, not " + std::to_string(s.hookTimeoutS);
                     },
                     [defaults](EventsSettings& s) { s.hookTimeoutS = defaults.hookTimeoutS; }});
        for (size_t k = 0; k < size_t(kCameraCount); ++k) {
            r.push_back({[k](const EventsSettings& s) {
                             return IsFlag(s.notifyDesktop[k]) ? std::string()
                                                               : CameraValue("NotifyDesktop", k) + " must be 0 or 1, not "
                                                                   + std::to_string(s.notifyDesktop[k]);
                         },
                         [k](EventsSettings& s) { s.notifyDesktop[k] = 0; }});
            r.push_back({[k](const EventsSettings& s) {
                             const int gap = s.eventGapS[k];
                             return gap >= 0 && gap <= EventsSettings::kMaxGapS
                                 ? std::string()
                                 : CameraValue("EventGapS", k) + " must be from 0 to "
                                     + std::to_string(EventsSettings::kMaxGapS) + " seconds, not " + std::to_string(gap);
                         },
                         [k, defaults](EventsSettings& s) { s.eventGapS[k] = defaults.eventGapS[k]; }});
        }
        return r;
    }();
    return rules;
}

} // namespace

std::string EventsKeyPath(int instance)
{
    return "Software\\Tallow Software\\Vistrel\\Camera" + std::to_string(instance) + "\\Events";
}

std::vector<std::string> ValidateEventsSettings(const EventsSettings& settings)
{
    std::vector<std::string> problems;
    for (const Rule& rule : Rules())
        if (std::string problem = rule.problem(settings); !problem.empty())
            problems.push_back(std::move(problem));
    return problems;
}

EventsSettings ReadEventsSettings(CRegistryKey& key, int instance, std::vector<std::string>* problems)
{
    EventsSettings s;
    key.SetRootKey(RegistryRoot::HKEY_LOCAL_MACHINE);
    if (key.SetKey(EventsKeyPath(instance), false)) {
        s.mqttHost = key.ReadString("MqttHost", s.mqttHost);
        s.mqttPort = key.ReadInt("MqttPort", s.mqttPort);
        s.mqttUser = key.ReadString("MqttUser", s.mqttUser);
        s.mqttPassword = key.ReadString("MqttPassword", s.mqttPassword);
        s.mqttTls = key.ReadInt("MqttTls", s.mqttTls);
        s.mqttCaFile = key.ReadString("MqttCaFile", s.mqttCaFile);
        s.mqttTopic = key.ReadString("MqttTopic", s.mqttTopic);
        s.hook = key.ReadString("Hook", s.hook);
        s.hookEvents = key.ReadString("HookEvents", s.hookEvents);
        s.hookTimeoutS = key.ReadInt("HookTimeoutS", s.hookTimeoutS);
    }
    for (int k = 0; k < kCameraCount; ++k) {
        if (!key.SetKey(CameraKeyPath(instance, k), false))
            continue;
        s.notifyDesktop[size_t(k)] = key.ReadInt("NotifyDesktop", s.notifyDesktop[size_t(k)]);
        s.eventGapS[size_t(k)] = key.ReadInt("EventGapS", s.eventGapS[size_t(k)]);
    }

    // Checked against the values as read, so one reset hides no other problem.
    const EventsSettings read = s;
    if (problems)
        problems->clear();
    for (const Rule& rule : Rules()) {
        std::string problem = rule.problem(read);
        if (problem.empty())
            continue;
        rule.reset(s);
        if (problems)
            problems->push_back(std::move(problem));
    }
    return s;
}

std::string MqttTopicPrefix(const EventsSettings& settings, const std::string& hostName, int instance)
{
    std::string prefix = settings.mqttTopic;
    while (!prefix.empty() && prefix.back() == '/')
        prefix.pop_back();
    if (prefix.empty())
        prefix = "vistrel/" + hostName + "/" + std::to_string(instance);
    return prefix;
}

} // namespace vistrel
