// SPDX-License-Identifier: GPL-3.0-or-later
#include "options/events_dlg.h"

#include "events/events_settings.h"
#include "settings/registry_key.h"
#include "support/fake_dialog_host.h"
#include "support/temp_env.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QFileInfo>
#include <QLineEdit>

namespace vistrel {
namespace {

QLineEdit* Edit(CEventsDlg& dialog, const char* name)
{
    return dialog.findChild<QLineEdit*>(QString::fromLatin1(name));
}

QString EventsKeyFile(const test::TempEnvironment& env)
{
    return env.registryDir() + "/HKEY_LOCAL_MACHINE/Software/Tallow Software/Vistrel/Camera1/Events/values.reg";
}

// A bad value is named in an "Invalid Value" box and nothing is written; good
// values are written for the recorder, and the password is never shown back.
TEST(EventsDialog, RefusesBadValuesAndKeepsThePasswordOutOfSight)
{
    test::TempEnvironment env;
    test::FakeDialogHost host;
    int commits = 0;
    CEventsDlg dialog(host, 1, [&commits] { ++commits; });
    ASSERT_NE(Edit(dialog, "mqttHost"), nullptr);
    EXPECT_EQ(Edit(dialog, "hookTimeout")->text(), "30");
    EXPECT_EQ(Edit(dialog, "gapC")->text(), "10");
    EXPECT_TRUE(dialog.findChild<QCheckBox*>("motion-start")->isChecked());
    EXPECT_FALSE(dialog.findChild<QCheckBox*>("camera-lost")->isChecked());

    struct Case {
        const char* field;
        const char* text;
        const char* message; // what the box says, in part
        const char* good;    // what the field holds afterwards
    };
    const Case cases[] = {
        {"mqttPort", "70000", "\"MqttPort\" must be from 0 (MQTT off) to 65535, not 70000", "1883"},
        {"mqttPort", "", "\"MqttPort\" must be a number", "1883"},
        {"mqttHost", "", "\"MqttHost\" must name the broker", "broker.lan"},
        {"mqttTopic", "a/#", "\"MqttTopic\" must not hold + or #", ""},
        {"hook", "/bin/echo 'unterminated", "\"Hook\" cannot be split into arguments", ""},
        {"hookTimeout", "0", "\"HookTimeoutS\" must be from 1 to 3600", "30"},
        {"gapB", "99999", "\"EventGapS\" of camera B must be from 0 to 3600", "10"},
    };
    Edit(dialog, "mqttHost")->setText("broker.lan");
    Edit(dialog, "mqttPort")->setText("1883");
    for (const Case& c : cases) {
        Edit(dialog, c.field)->setText(QString::fromLatin1(c.text));
        host.reporter.clear();
        dialog.OnOK();
        const auto shown = host.reporter.messages();
        ASSERT_EQ(shown.size(), 1u) << c.field << "=" << c.text;
        EXPECT_EQ(shown[0].caption, "Invalid Value");
        EXPECT_NE(shown[0].text.find(c.message), std::string::npos) << shown[0].text;
        EXPECT_FALSE(QFileInfo::exists(EventsKeyFile(env))) << "written despite " << c.field;
        EXPECT_EQ(commits, 0);
        Edit(dialog, c.field)->setText(QString::fromLatin1(c.good));
    }

    Edit(dialog, "hookTimeout")->setText("15");
    Edit(dialog, "mqttUser")->setText("cam");
    Edit(dialog, "mqttPassword")->setText("s3cret");
    Edit(dialog, "hook")->setText("/usr/bin/logger \"motion on %c\"");
    dialog.findChild<QCheckBox*>("camera-lost")->setChecked(true);
    dialog.findChild<QCheckBox*>("notifyB")->setChecked(true);
    Edit(dialog, "gapB")->setText("25");
    host.reporter.clear();
    dialog.OnOK();
    EXPECT_TRUE(host.reporter.messages().empty());
    EXPECT_EQ(commits, 1);
    CRegistryKey key;
    const EventsSettings stored = ReadEventsSettings(key, 1);
    EXPECT_EQ(stored.mqttHost, "broker.lan");
    EXPECT_EQ(stored.mqttPort, 1883);
    EXPECT_EQ(stored.mqttPassword, "s3cret");
    EXPECT_EQ(stored.hook, "/usr/bin/logger \"motion on %c\"");
    EXPECT_EQ(stored.hookEvents, "motion-start,motion-end,camera-lost");
    EXPECT_EQ(stored.hookTimeoutS, 15);
    EXPECT_EQ(stored.notifyDesktop[1], 1);
    EXPECT_EQ(stored.eventGapS[1], 25);

    // Opened again: the password is not in any control, and left empty it stays.
    CEventsDlg again(host, 1, [&commits] { ++commits; });
    for (const QLineEdit* edit : again.findChildren<QLineEdit*>())
        EXPECT_FALSE(edit->text().contains("s3cret")) << edit->objectName().toStdString();
    again.OnOK();
    EXPECT_EQ(ReadEventsSettings(key, 1).mqttPassword, "s3cret");
}

} // namespace
} // namespace vistrel
