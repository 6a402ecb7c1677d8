// SPDX-License-Identifier: GPL-3.0-or-later
#include "events/events_settings.h"

#include "settings/registry_key.h"
#include "settings/settings_io.h"

#include <gtest/gtest.h>

namespace vistrel {
namespace {

// The values as scripts and the dialog write them; a value that cannot be
// used is named and falls back to its default, switching that part off.
TEST(EventsSettings, ReadsTheStoreAndFallsBackOnBadValues)
{
    CRegistryKey key; // the test's own store
    EXPECT_EQ(ReadEventsSettings(key, 4).hookEvents, "motion-start,motion-end"); // nothing stored: defaults

    key.SetRootKey(RegistryRoot::HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(key.SetKey(EventsKeyPath(4), true));
    EXPECT_EQ(EventsKeyPath(4), "Software\\Tallow Software\\Vistrel\\Camera4\\Events");
    key.WriteString("MqttHost", "broker.lan");
    key.WriteInt("MqttPort", 1883);
    key.WriteString("MqttUser", "cam");
    key.WriteString("MqttPassword", "secret");
    key.WriteString("MqttTopic", "site/garage/");
    key.WriteString("Hook", "/usr/local/bin/on-event '%c' %e");
    key.WriteString("HookEvents", "camera-lost, camera-back");
    key.WriteInt("HookTimeoutS", 5);
    ASSERT_TRUE(key.SetKey(CameraKeyPath(4, 1), true));
    key.WriteInt("NotifyDesktop", 1);
    key.WriteInt("EventGapS", 30);

    std::vector<std::string> problems;
    EventsSettings s = ReadEventsSettings(key, 4, &problems);
    EXPECT_TRUE(problems.empty());
    EXPECT_TRUE(s.MqttOn());
    EXPECT_EQ(s.mqttHost, "broker.lan");
    EXPECT_EQ(s.mqttPassword, "secret");
    EXPECT_EQ(MqttTopicPrefix(s, "box", 4), "site/garage");
    EXPECT_EQ(s.hook, "/usr/local/bin/on-event '%c' %e");
    EXPECT_EQ(s.hookEvents, "camera-lost, camera-back");
    EXPECT_EQ(s.hookTimeoutS, 5);
    EXPECT_EQ(s.notifyDesktop[1], 1);
    EXPECT_EQ(s.eventGapS[1], 30);
    EXPECT_EQ(s.eventGapS[0], 10);

    ASSERT_TRUE(key.SetKey(EventsKeyPath(4), false));
    key.WriteInt("MqttPort", 70000);
    key.WriteString("Hook", "/bin/echo 'unclosed");
    key.WriteString("HookEvents", "motion-start,explosion");
    key.WriteInt("HookTimeoutS", 0);
    ASSERT_TRUE(key.SetKey(CameraKeyPath(4, 1), false));
    key.WriteInt("EventGapS", -1);
    s = ReadEventsSettings(key, 4, &problems);
    EXPECT_EQ(problems.size(), 5u);
    for (const std::string& problem : problems)
        EXPECT_EQ(problem.find("secret"), std::string::npos) << problem;
    EXPECT_FALSE(s.MqttOn());
    EXPECT_TRUE(s.mqttHost.empty() && s.mqttPassword.empty());
    EXPECT_TRUE(s.hook.empty());
    EXPECT_EQ(s.hookEvents, "motion-start,motion-end");
    EXPECT_EQ(s.hookTimeoutS, 30);
    EXPECT_EQ(s.eventGapS[1], 10);
    EXPECT_EQ(s.notifyDesktop[1], 1); // a good value stays
    EXPECT_EQ(ValidateEventsSettings(s), std::vector<std::string>{});
    EXPECT_EQ(MqttTopicPrefix(s, "box", 4), "vistrel/box/4");
}

} // namespace
} // namespace vistrel
