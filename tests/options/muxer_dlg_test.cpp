// SPDX-License-Identifier: GPL-3.0-or-later
#include "options/muxer_dlg.h"

#include "settings/instance_settings.h"
#include "support/fake_dialog_host.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <initializer_list>

namespace vistrel {
namespace {

constexpr char kSpeedMessage[] = "Mux Speed Cannot be Greater than 15000ms or Less Than 100ms";
constexpr char kInputsMessage[] = "At least 2 Inputs must be selected to Enable Multiplexing";

class MuxerDlgTest : public ::testing::Test {
protected:
    // A shown dialog over the current settings and host.
    std::unique_ptr<CMuxerDlg> Open()
    {
        auto dialog = std::make_unique<CMuxerDlg>(host_, settings_);
        dialog->SetThreadPoster(host_.Poster());
        dialog->show();
        return dialog;
    }
    static QCheckBox* Box(CMuxerDlg& dialog, int id) { return FindControl<QCheckBox>(dialog, id); }
    static void SetInputs(CMuxerDlg& dialog, std::initializer_list<int> inputs)
    {
        for (int n = 1; n <= 8; ++n)
            Box(dialog, 1006 + n)->setChecked(std::find(inputs.begin(), inputs.end(), n) != inputs.end());
    }
    static void PressOk(CMuxerDlg& dialog) { QTest::mouseClick(FindControl<QPushButton>(dialog, 1004), Qt::LeftButton); }

    test::FakeDialogHost host_;
    InstanceSettings settings_;
};

TEST_F(MuxerDlgTest, ControlsCarryTheirIdsAndTexts)
{
    auto dialog = Open();
    EXPECT_EQ(dialog->windowTitle(), "Muliplexer / Demulitplexer Options");
    EXPECT_EQ(Box(*dialog, 1015)->text(), "&Enable Video Muxing");
    for (int n = 1; n <= 8; ++n)
        EXPECT_EQ(Box(*dialog, 1006 + n)->text(), QString("Input &%1").arg(n));
    ASSERT_NE(FindControl<QLineEdit>(*dialog, 1016), nullptr);
    EXPECT_TRUE(FindControl<QPushButton>(*dialog, 1004)->isDefault());
    EXPECT_EQ(FindControl<QPushButton>(*dialog, 2)->text(), "&Cancel");
}

TEST_F(MuxerDlgTest, SpeedMustLieBetween100And15000)
{
    const std::pair<const char*, bool> cases[] = {
        {"100", true}, {"15000", true}, {" +250", true}, {"300ms", true}, {"99", false},
        {"15001", false}, {"", false}, {"fast", false}, {"-200", false}, {"99999999999999999999", false},
    };
    for (const auto& [text, accepted] : cases) {
        host_.reporter.clear();
        settings_.MuxerSpeed = 250;
        auto dialog = Open();
        FindControl<QLineEdit>(*dialog, 1016)->setText(text);
        PressOk(*dialog);
        EXPECT_EQ(dialog->result() == QDialog::Accepted, accepted) << text;
        if (accepted) {
            EXPECT_EQ(settings_.MuxerSpeed, std::atoi(text)) << text;
        } else {
            ASSERT_EQ(host_.reporter.messages().size(), 1u) << text;
            EXPECT_EQ(host_.reporter.messages()[0].text, kSpeedMessage);
            EXPECT_EQ(host_.reporter.messages()[0].caption, "Invalid Value");
            EXPECT_EQ(host_.reporter.messages()[0].icon, MessageIcon::Exclamation);
            EXPECT_EQ(settings_.MuxerSpeed, 250) << text;
            EXPECT_TRUE(dialog->isVisible()) << text;
        }
    }
}

TEST_F(MuxerDlgTest, ViewFollowsTheHighestCheckedInput)
{
    struct Case {
        bool muxing;
        std::initializer_list<int> inputs;
        int command; // 0: refused with the two-input message
    };
    const Case cases[] = {
        {false, {}, 32776},        {false, {1, 2, 3, 4, 5, 6, 7, 8}, 32776}, {true, {1, 3}, 32777},
        {true, {1, 2}, 32777},     {true, {5, 6}, 32788},                    {true, {1, 8}, 32778},
        {true, {3, 7}, 32778},     {true, {1}, 0},                           {true, {}, 0},
    };
    host_.inputCount = 8;
    for (const Case& c : cases) {
        host_.commands.clear();
        host_.reporter.clear();
        auto dialog = Open();
        Box(*dialog, 1015)->setChecked(c.muxing);
        SetInputs(*dialog, c.inputs);
        PressOk(*dialog);
        if (c.command == 0) {
            ASSERT_EQ(host_.reporter.messages().size(), 1u);
            EXPECT_EQ(host_.reporter.messages()[0].text, kInputsMessage);
            EXPECT_TRUE(host_.commands.empty());
            EXPECT_NE(dialog->result(), QDialog::Accepted);
        } else {
            EXPECT_TRUE(host_.reporter.messages().empty());
            EXPECT_EQ(host_.commands, std::vector<int>{c.command});
            EXPECT_EQ(settings_.EnableMux, c.muxing ? 1 : 0);
            for (int n = 1; n <= 8; ++n)
                EXPECT_EQ(settings_.MuxerInputs[n - 1] != 0,
                          std::find(c.inputs.begin(), c.inputs.end(), n) != c.inputs.end());
        }
    }
}

TEST_F(MuxerDlgTest, InputsBeyondTheDeviceAreDisabledButStillCount)
{
    host_.inputCount = 4;
    settings_.MuxerInputs = {1, 0, 0, 0, 0, 1, 0, 0}; // index 5 is "Input &6"
    settings_.EnableMux = 1;
    settings_.MuxerSpeed = 400;
    auto dialog = Open();
    for (int n = 0; n < 8; ++n)
        EXPECT_EQ(Box(*dialog, 1007 + n)->isEnabled(), n < 4) << n;
    EXPECT_TRUE(Box(*dialog, 1012)->isChecked());
    EXPECT_TRUE(Box(*dialog, 1015)->isChecked());
    EXPECT_EQ(FindControl<QLineEdit>(*dialog, 1016)->text(), "400");

    PressOk(*dialog);
    EXPECT_TRUE(host_.reporter.messages().empty());
    EXPECT_EQ(host_.commands, std::vector<int>{32788});
    EXPECT_EQ(settings_.MuxerInputs[5], 1);
}

TEST_F(MuxerDlgTest, OkSavesThenTellsImageThreadBeforeArchiveThread)
{
    auto dialog = Open();
    FindControl<QLineEdit>(*dialog, 1016)->setText("500");
    QTest::keyClick(FindControl<QLineEdit>(*dialog, 1016), Qt::Key_Return);
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_EQ(host_.saves, 1);
    const std::vector<std::pair<ThreadId, int>> expected{{101, WM_SETTINGS_CHANGED}, {202, WM_SETTINGS_CHANGED}};
    EXPECT_EQ(host_.posts, expected);
}

TEST_F(MuxerDlgTest, CancelStoresNothing)
{
    auto dialog = Open();
    Box(*dialog, 1015)->setChecked(true);
    SetInputs(*dialog, {1, 2});
    QTest::mouseClick(FindControl<QPushButton>(*dialog, 2), Qt::LeftButton);
    EXPECT_EQ(dialog->result(), QDialog::Rejected);
    EXPECT_EQ(settings_.EnableMux, 0);
    EXPECT_EQ(host_.saves, 0);
    EXPECT_TRUE(host_.posts.empty());
    EXPECT_TRUE(host_.commands.empty());
}

TEST_F(MuxerDlgTest, FewerThanTwoInputsCannotMultiplex)
{
    for (int count : {-1, 0, 1}) {
        host_.reporter.clear();
        host_.inputCount = count;
        CMuxerDlg dialog(host_, settings_);
        EXPECT_EQ(dialog.exec(), QDialog::Rejected); // returns at once, never shown
        EXPECT_FALSE(dialog.isVisible());
        ASSERT_EQ(host_.reporter.messages().size(), 1u);
        EXPECT_EQ(host_.reporter.messages()[0].text, "The currently selected video device eithor does not have\nenough input pins "
                                          "to multiplex, or is not Initialized.");
        EXPECT_EQ(host_.reporter.messages()[0].caption, "Cannot Multiplex");
        EXPECT_EQ(host_.reporter.messages()[0].icon, MessageIcon::Exclamation);
    }
    EXPECT_EQ(host_.saves, 0);
}

TEST_F(MuxerDlgTest, F1OpensTheManual)
{
    auto dialog = Open();
    QTest::keyClick(FindControl<QLineEdit>(*dialog, 1016), Qt::Key_F1);
    EXPECT_EQ(host_.manualOpened, 1);
}

} // namespace
} // namespace vistrel
