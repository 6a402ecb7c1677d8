// SPDX-License-Identifier: GPL-3.0-or-later
#include "options/storage_dlg.h"

#include "settings/instance_settings.h"
#include "support/fake_dialog_host.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QTableWidget>

namespace vistrel {
namespace {

// The storage dialog offscreen: each invalid field is refused with the
// "Invalid Value" box and nothing is stored; valid ones are committed as the
// other dialogs commit (stored, saved, announced to both workers).
TEST(StorageDlgTest, RefusesWhatIsNotWholeMegabytesAndCommitsTheRest)
{
    struct Case {
        bool automatic;
        const char* keepFree;
        const char* capOfC;
        const char* message; // nullptr: accepted
    };
    const char* const keepFreeMessage = "Keep Free Must be a Whole Number of MB from 0 to 16777215";
    const char* const capMessage = "Largest Archive of Camera C Must be a Whole Number of MB from 0 to 16777215";
    const Case cases[] = {
        {false, "2048", "500", nullptr},
        {false, " 0 ", "0", nullptr},
        {false, "16777215", "16777215", nullptr},
        {true, "not a number", "7", nullptr}, // automatic: the field is not read
        {false, "16777216", "0", keepFreeMessage},
        {false, "-1", "0", keepFreeMessage},
        {false, "1.5", "0", keepFreeMessage},
        {false, "", "0", keepFreeMessage},
        {false, "100", "12abc", capMessage},
        {false, "100", "-5", capMessage},
        {false, "100", "99999999999", capMessage},
    };
    for (const Case& c : cases) {
        InstanceSettings settings;
        settings.KeepFreeMB = 77;
        settings.MaxArchiveMB.fill(9);
        test::FakeDialogHost host;
        CStorageDlg dialog(host, settings);
        dialog.SetThreadPoster(host.Poster());
        ASSERT_TRUE(dialog.OnInitDialog());
        EXPECT_EQ(dialog.keepFreeEdit()->text(), "77");
        EXPECT_FALSE(dialog.automaticBox()->isChecked());
        dialog.automaticBox()->setChecked(c.automatic);
        dialog.keepFreeEdit()->setText(c.keepFree);
        dialog.capsTable()->item(2, 0)->setText(c.capOfC);
        dialog.OnOK();
        if (c.message) {
            ASSERT_EQ(host.reporter.messages().size(), 1u) << c.keepFree << " " << c.capOfC;
            EXPECT_EQ(host.reporter.messages()[0].text, c.message);
            EXPECT_EQ(host.reporter.messages()[0].caption, "Invalid Value");
            EXPECT_EQ(host.reporter.messages()[0].icon, MessageIcon::Exclamation);
            EXPECT_NE(dialog.result(), QDialog::Accepted);
            EXPECT_EQ(settings.KeepFreeMB, 77u);
            EXPECT_EQ(settings.MaxArchiveMB[2], 9u);
            EXPECT_EQ(host.saves, 0);
            EXPECT_TRUE(host.posts.empty());
            continue;
        }
        EXPECT_TRUE(host.reporter.messages().empty()) << c.keepFree << " " << c.capOfC;
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
        EXPECT_EQ(settings.KeepFreeMB, c.automatic ? kKeepFreeAutomatic : uint32_t(std::stoul(c.keepFree)));
        EXPECT_EQ(settings.MaxArchiveMB[2], uint32_t(std::stoul(c.capOfC)));
        EXPECT_EQ(settings.MaxArchiveMB[0], 9u);
        EXPECT_EQ(host.saves, 1);
        EXPECT_EQ(host.posts, (std::vector<std::pair<ThreadId, int>>{{101, WM_SETTINGS_CHANGED}, {202, WM_SETTINGS_CHANGED}}));
    }

    // Automatic shows as checked, the number field idle.
    InstanceSettings settings;
    test::FakeDialogHost host;
    CStorageDlg dialog(host, settings);
    ASSERT_TRUE(dialog.OnInitDialog());
    EXPECT_TRUE(dialog.automaticBox()->isChecked());
    EXPECT_FALSE(dialog.keepFreeEdit()->isEnabled());
}

} // namespace
} // namespace vistrel
