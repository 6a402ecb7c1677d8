// SPDX-License-Identifier: GPL-3.0-or-later
#include "options/options_dlg.h"

#include "settings/instance_settings.h"
#include "common/worker_thread.h"
#include "support/fake_dialog_host.h"
#include "support/fake_workers.h"
#include "support/temp_env.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <tuple>

namespace vistrel {
namespace {

namespace fs = std::filesystem;

constexpr char kSyntaxMessage[] = "Syntax error, static file must contain the full path and file name ending with .jpg";
constexpr char kStaticPathMessage[] =
    "Could not create static file path, if syntax is correct, make sure you have access to write to the drive.";
constexpr char kArchivePathMessage[] =
    "Could not create archive path, if syntax is correct, make sure you have access to write to the drive.";
constexpr char kNotANumber[] = "Please enter a number.";
constexpr char kNegativeRetention[] = "Days, Hours and Minutes cannot be negative.";

class OptionsDlgTest : public ::testing::Test {
protected:
    OptionsDlgTest()
    {
        settings_.StaticPathFile[kCamera] = home_ + "/Cameras/Cam1C.jpg";
        settings_.ArchivePath[kCamera] = home_ + "/Cameras/Camera1C/";
    }

    std::unique_ptr<COptionsDlg> Open()
    {
        auto dialog = std::make_unique<COptionsDlg>(host_, settings_, kCamera);
        dialog->SetThreadPoster(host_.Poster());
        dialog->SetFontPicker([](const LOGFONTA&, uint32_t, QWidget*) -> std::optional<FontChoice> {
            ADD_FAILURE() << "unexpected font picker";
            return std::nullopt;
        });
        dialog->SetConfirmer([](const std::string& text, QWidget*) {
            ADD_FAILURE() << "unexpected question: " << text;
            return false;
        });
        dialog->show();
        return dialog;
    }
    QLineEdit* Edit(int id) { return FindControl<QLineEdit>(*dialog_, id); }
    QComboBox* Combo(int id) { return FindControl<QComboBox>(*dialog_, id); }
    QCheckBox* Check(int id) { return FindControl<QCheckBox>(*dialog_, id); }
    void Click(int id) { QTest::mouseClick(FindControl<QPushButton>(*dialog_, id), Qt::LeftButton); }
    // The text of the only message shown since the last call, or "" when none was.
    std::string TakeMessage()
    {
        std::string text;
        if (host_.reporter.messages().size() == 1) {
            EXPECT_EQ(host_.reporter.messages()[0].caption, "Invalid Value");
            EXPECT_EQ(host_.reporter.messages()[0].icon, MessageIcon::Exclamation);
            text = host_.reporter.messages()[0].text;
        } else if (!host_.reporter.messages().empty()) {
            ADD_FAILURE() << host_.reporter.messages().size() << " messages";
        }
        host_.reporter.clear();
        return text;
    }

    static constexpr int kCamera = 2;
    test::TempEnvironment env_;
    const std::string home_ = env_.homeDir().toStdString();
    test::FakeDialogHost host_;
    InstanceSettings settings_;
    std::unique_ptr<COptionsDlg> dialog_;
};

TEST_F(OptionsDlgTest, FillShowsTheStoredValues)
{
    settings_.SaveEvery = 1234;
    settings_.HORZ[kCamera] = "left";
    settings_.VERT[kCamera] = "bot";
    settings_.Rotation[kCamera] = "27";
    settings_.OverlayEffect[kCamera] = 2;
    settings_.HorzFlip[kCamera] = 1;
    settings_.Days[kCamera] = 3;
    dialog_ = Open();
    EXPECT_EQ(dialog_->windowTitle(), "Options for Camera C");
    EXPECT_EQ(Edit(1042)->text(), "1.234");
    EXPECT_EQ(Combo(1001)->currentText(), "LEFT");
    EXPECT_EQ(Combo(1002)->currentText(), "BOTTOM");
    EXPECT_EQ(Combo(1003)->currentText(), "270");
    EXPECT_EQ(Combo(1073)->currentText(), "Shadow");
    EXPECT_TRUE(Check(1013)->isChecked());
    EXPECT_FALSE(Check(1014)->isChecked());
    EXPECT_EQ(Edit(1046)->text(), "3");

    // A stored text that begins no item leaves the selection as it was.
    settings_.HORZ[kCamera] = "MIDDLE";
    dialog_->Fill();
    EXPECT_EQ(Combo(1001)->currentText(), "LEFT");

    // Multiplexing shows one whole cycle: inputs × MuxerSpeed.
    settings_.EnableMux = 1;
    settings_.MuxerInputs = {1, 1, 0, 1, 0, 0, 0, 0};
    settings_.MuxerSpeed = 250;
    dialog_->Fill();
    EXPECT_EQ(Edit(1042)->text(), "0.750");
}

TEST_F(OptionsDlgTest, OkWithoutEditsKeepsEveryStoredValue)
{
    settings_.OverlayText[kCamera] = "Gate %t";
    settings_.HORZ[kCamera] = "RIGHT";
    settings_.VERT[kCamera] = "TOP";
    settings_.Rotation[kCamera] = "90";
    settings_.OverlayEffect[kCamera] = 3;
    settings_.EnableOverlay[kCamera] = 1;
    settings_.EnableArchiveMotion[kCamera] = 1;
    settings_.VertFlip[kCamera] = 1;
    settings_.JpegQuality[kCamera] = 90;
    settings_.Hours[kCamera] = 7;
    settings_.TriggerLevel[kCamera] = 200;
    settings_.SaveCount[kCamera] = 12;
    settings_.SaveEvery = 2500;
    const InstanceSettings& before = settings_;
    const auto snapshot = [&] {
        return std::make_tuple(before.OverlayText[kCamera], before.HORZ[kCamera], before.VERT[kCamera],
                               before.Rotation[kCamera], before.OverlayEffect[kCamera], before.EnableOverlay[kCamera],
                               before.EnableStaticSave[kCamera], before.EnableArchving[kCamera],
                               before.EnableStaticMotion[kCamera], before.EnableArchiveMotion[kCamera],
                               before.HorzFlip[kCamera], before.VertFlip[kCamera], before.JpegQuality[kCamera],
                               before.Days[kCamera], before.Hours[kCamera], before.Minutes[kCamera],
                               before.TriggerLevel[kCamera], before.SaveCount[kCamera], before.SaveEvery,
                               before.StaticPathFile[kCamera], before.ArchivePath[kCamera]);
    };
    const auto stored = snapshot();
    dialog_ = Open();
    Click(1004);
    EXPECT_EQ(TakeMessage(), "");
    EXPECT_EQ(dialog_->result(), QDialog::Accepted);
    EXPECT_EQ(snapshot(), stored);
    EXPECT_EQ(host_.saves, 1);
    EXPECT_EQ(host_.layouts, (std::vector<std::pair<int, uint32_t>>{{0, 0}}));
    const std::vector<std::pair<ThreadId, int>> posts{{101, WM_SETTINGS_CHANGED}, {202, WM_SETTINGS_CHANGED}};
    EXPECT_EQ(host_.posts, posts);
}

TEST_F(OptionsDlgTest, SaveIntervalRangeWithThreeMultiplexedInputs)
{
    settings_.EnableMux = 1;
    settings_.MuxerInputs = {1, 0, 1, 0, 0, 1, 0, 0};
    settings_.SaveEvery = 1000;
    const std::string tooShort = "Save Every X Seconds cannot be less than 0.300 or greater than 15";
    const std::tuple<const char*, std::string, int> cases[] = {
        {"0.299", tooShort, 0}, {"1.5", "", 500}, {"0.3", "", 100}, {"15", "", 5000}, {"16", tooShort, 0},
    };
    dialog_ = Open();
    for (const auto& [text, message, muxerSpeed] : cases) {
        settings_.MuxerSpeed = 250;
        Edit(1042)->setText(text);
        Click(1051);
        EXPECT_EQ(TakeMessage(), message) << text;
        EXPECT_EQ(settings_.MuxerSpeed, message.empty() ? muxerSpeed : 250) << text;
    }
    EXPECT_EQ(settings_.SaveEvery, 1000); // the single-input interval is left alone
}

TEST_F(OptionsDlgTest, SaveIntervalRangeWithoutMultiplexing)
{
    const std::string outside = "Save Every X Seconds cannot be less than .1 or greater than 60";
    constexpr int kOutside = -1, kNoNumber = -2;
    const std::pair<const char*, int> cases[] = {
        {"0.0999", kOutside}, {"0.1", 100},        {"60", 60000},       {"61", kOutside},  {"1.0009", 1000},
        {"60.0009", 60000},   {"", kNoNumber},     {"soon", kNoNumber}, {"nan", kNoNumber}, {"1e300", kOutside},
        {"-2", kOutside},     {" 2.5 s", 2500},    {".5", 500},         {"-.", kNoNumber},
    };
    dialog_ = Open();
    for (const auto& [text, stored] : cases) {
        settings_.SaveEvery = 777;
        Edit(1042)->setText(text);
        Click(1051);
        EXPECT_EQ(TakeMessage(), stored == kNoNumber ? kNotANumber : stored == kOutside ? outside : "") << text;
        EXPECT_EQ(settings_.SaveEvery, stored < 0 ? 777 : stored) << text;
    }
}

TEST_F(OptionsDlgTest, MultiplexingWithNoFlaggedInputNeverDividesByZero)
{
    settings_.EnableMux = 1; // only a hand-edited store gets here
    settings_.MuxerInputs = {};
    dialog_ = Open();
    Edit(1042)->setText("0");
    Click(1051);
    EXPECT_EQ(TakeMessage(), "Save Every X Seconds cannot be less than 0.100 or greater than 15");
    Edit(1042)->setText("0.4");
    Click(1051);
    EXPECT_EQ(TakeMessage(), "");
    EXPECT_EQ(settings_.MuxerSpeed, 400);
}

TEST_F(OptionsDlgTest, NumberFieldRangesAreCheckedInOrder)
{
    const char* quality = "Jpeg Quality cannot be less than 0 or greater than 100";
    const char* trigger = "Motion Detection Trigger Level cannot be less than 0 or greater than 255";
    const char* count = "After Motion is Detected Save X, cannot be less than 1 or greater than 1000";
    struct Case {
        const char *quality, *trigger, *count, *message;
    };
    const Case cases[] = {
        {"0", "0", "1", ""},           {"100", "255", "1000", ""},     {"-1", "10", "5", quality},
        {"101", "10", "5", quality},   {"x", "10", "5", kNotANumber},  {"50", "-1", "5", trigger},
        {"50", "256", "5", trigger},   {"50", "10", "0", count},       {"50", "10", "1001", count},
        {"50", "10", "", kNotANumber}, {"50", "+", "5", kNotANumber},
        {"999", "999", "0", quality}, // the first failure wins
    };
    dialog_ = Open();
    for (const Case& c : cases) {
        Edit(1043)->setText(c.quality);
        Edit(1049)->setText(c.trigger);
        Edit(1050)->setText(c.count);
        Click(1051);
        EXPECT_EQ(TakeMessage(), c.message) << c.quality << " " << c.trigger << " " << c.count;
    }
}

TEST_F(OptionsDlgTest, StaticFileSyntaxAndFolder)
{
    std::ofstream(home_ + "/plain") << "x";
    const std::pair<std::string, const char*> cases[] = {
        {home_ + "/Cameras/Cam1C", kSyntaxMessage},
        {home_ + "/Cameras/", kSyntaxMessage},
        {"", kSyntaxMessage},
        {"Cameras/Cam1C.jpg", kSyntaxMessage},
        {home_ + "/plain/Cam1C.jpg", kStaticPathMessage},
        {home_ + "/Cameras/Cam\n1C.jpg", kStaticPathMessage},
        {home_ + "/" + std::string(300, 'd') + "/Cam1C.jpg", kStaticPathMessage},
        {home_ + "/new/deeper/Cam1C.bmp", ""},
    };
    dialog_ = Open();
    for (const auto& [text, message] : cases) {
        Edit(1044)->setText(QString::fromStdString(text));
        Click(1051);
        EXPECT_EQ(TakeMessage(), message) << text;
    }
    EXPECT_TRUE(fs::is_directory(home_ + "/new/deeper"));
    EXPECT_EQ(settings_.StaticPathFile[kCamera], home_ + "/new/deeper/Cam1C.bmp");
    EXPECT_FALSE(fs::exists("Cameras")); // nothing relative to the working folder
}

TEST_F(OptionsDlgTest, ArchivePathIsNormalisedCreatedAndShownAgain)
{
    settings_.EnableArchving[kCamera] = 0;
    std::ofstream(home_ + "/plain") << "x";
    const std::pair<std::string, std::string> cases[] = {
        {home_ + "/Archive///", home_ + "/Archive/"},
        {home_ + "/Other", home_ + "/Other/"},
        {"/", "/"},
        {"", ""}, // refused even with archiving off
        {"relative/archive", ""},
        {home_ + "/plain", ""},
        {home_ + "/plain/sub", ""},
        {home_ + "/" + std::string(4000, 'a'), ""},
    };
    dialog_ = Open();
    for (const auto& [typed, stored] : cases) {
        Edit(1045)->setText(QString::fromStdString(typed));
        Click(1051);
        if (stored.empty()) {
            EXPECT_EQ(TakeMessage(), kArchivePathMessage) << typed.substr(0, 80);
            EXPECT_EQ(Edit(1045)->text().toStdString(), typed); // the user's text stays
        } else {
            EXPECT_EQ(TakeMessage(), "") << typed;
            EXPECT_EQ(settings_.ArchivePath[kCamera], stored);
            EXPECT_EQ(Edit(1045)->text().toStdString(), stored);
            EXPECT_TRUE(fs::is_directory(stored));
        }
    }
    EXPECT_FALSE(fs::exists("relative"));
}

TEST_F(OptionsDlgTest, RetentionAndTextFieldsAreStoredAsTyped)
{
    dialog_ = Open();
    Edit(1046)->setText("2");
    Edit(1047)->setText("-0");
    Edit(1048)->setText(" 15min");
    Edit(1016)->setText("Yard %d");
    Combo(1002)->setCurrentIndex(2);
    Combo(1073)->setCurrentIndex(1);
    Check(1011)->setChecked(true);
    QTest::keyClick(Edit(1046), Qt::Key_Return); // Enter is OK
    EXPECT_EQ(TakeMessage(), "");
    EXPECT_EQ(dialog_->result(), QDialog::Accepted);
    EXPECT_EQ(settings_.Days[kCamera], 2);
    EXPECT_EQ(settings_.Hours[kCamera], 0);
    EXPECT_EQ(settings_.Minutes[kCamera], 15);
    EXPECT_EQ(settings_.OverlayText[kCamera], "Yard %d");
    EXPECT_EQ(settings_.VERT[kCamera], "BOTTOM");
    EXPECT_EQ(settings_.OverlayEffect[kCamera], 1);
    EXPECT_EQ(settings_.EnableStaticSave[kCamera], 1);
    EXPECT_EQ(settings_.Days[0], 0); // other cameras untouched
}

// A negative part, or a part without a number (read as 0), would leave the
// archive a period that keeps nothing: both are refused before anything is
// stored or created.
TEST_F(OptionsDlgTest, RetentionRefusesNegativePartsAndTextWithoutANumber)
{
    settings_.Days[kCamera] = 1;
    settings_.Minutes[kCamera] = 5;
    const std::tuple<const char*, const char*, const char*, const char*> cases[] = {
        {"-1", "0", "5", kNegativeRetention}, {"0", "-2", "5", kNegativeRetention},
        {"0", "0", "-5", kNegativeRetention}, {"none", "0", "5", kNotANumber},
        {"1", "", "5", kNotANumber},          {"1", "0", "min", kNotANumber},
        {"-1", "x", "5", kNotANumber},        {"0", "0", "1", ""},
    };
    const std::string newArchive = home_ + "/NewArchive";
    dialog_ = Open();
    for (const auto& [days, hours, minutes, message] : cases) {
        Edit(1046)->setText(days);
        Edit(1047)->setText(hours);
        Edit(1048)->setText(minutes);
        Edit(1045)->setText(QString::fromStdString(newArchive));
        Click(1051);
        EXPECT_EQ(TakeMessage(), message) << days << " " << hours << " " << minutes;
        if (*message) {
            EXPECT_EQ(settings_.Days[kCamera], 1);
            EXPECT_EQ(settings_.Minutes[kCamera], 5);
            EXPECT_FALSE(fs::exists(newArchive)) << "a refused commit created a folder";
            EXPECT_EQ(host_.saves, 0);
        }
    }
    EXPECT_EQ(std::make_tuple(settings_.Days[kCamera], settings_.Hours[kCamera], settings_.Minutes[kCamera]),
              std::make_tuple(0, 0, 1));
}

// Shortening the period so that more than 5% of the camera's archive would
// go asks first, naming how many images and which; a "no" commits nothing.
TEST_F(OptionsDlgTest, AShorterRetentionTakingManyImagesIsConfirmedFirst)
{
    const std::string folder = settings_.ArchivePath[kCamera];
    fs::create_directories(folder);
    const std::time_t now = std::time(nullptr);
    const auto name = [&](int hoursAgo, const char* suffix = "-Cam1C.jpg") {
        return folder + std::to_string(now - hoursAgo * 3600) + "0" + suffix;
    };
    for (int hoursAgo = 0; hoursAgo < 100; ++hoursAgo)
        std::ofstream(name(hoursAgo)) << "jpeg";
    // Named like old images, yet none of this camera's images.
    fs::create_directory(name(200));
    fs::create_symlink(name(0), name(201));
    std::ofstream(name(202, "-Cam1D.jpg")) << "jpeg";
    const auto localTime = [](std::time_t time) {
        std::tm local{};
        localtime_r(&time, &local);
        char text[32];
        std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
        return std::string(text);
    };

    settings_.Days[kCamera] = 5;
    settings_.Minutes[kCamera] = 0;
    dialog_ = Open();
    std::vector<std::string> questions;
    bool answer = false;
    dialog_->SetConfirmer([&](const std::string& text, QWidget*) {
        questions.push_back(text);
        return answer;
    });
    const auto apply = [&](const char* days) {
        Edit(1046)->setText(days);
        Edit(1048)->setText("0");
        Click(1051);
        EXPECT_EQ(TakeMessage(), "");
    };

    apply("4"); // 3 of 100 images are older than four days: not worth a question
    EXPECT_TRUE(questions.empty());
    EXPECT_EQ(settings_.Days[kCamera], 4);
    EXPECT_EQ(host_.saves, 1);

    apply("3"); // 27 of 100
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_EQ(questions[0], "The shorter archive period deletes 27 of the 100 images of camera C, those saved from "
                                + localTime(now - 99 * 3600) + " to " + localTime(now - 73 * 3600)
                                + ".\n\nDelete them?");
    EXPECT_EQ(settings_.Days[kCamera], 4);
    EXPECT_EQ(host_.saves, 1);
    EXPECT_TRUE(dialog_->isVisible());

    answer = true;
    apply("3");
    EXPECT_EQ(questions.size(), 2u);
    EXPECT_EQ(settings_.Days[kCamera], 3);
    EXPECT_EQ(host_.saves, 2);

    apply("10"); // longer: nothing goes
    EXPECT_EQ(questions.size(), 2u);
    EXPECT_EQ(settings_.Days[kCamera], 10);
}

TEST_F(OptionsDlgTest, CancelAfterAFontChoiceKeepsWhatTheChoiceCommitted)
{
    LOGFONTA chosen = DefaultOverlayFont();
    chosen.lfHeight = -20;
    settings_.TextColor[kCamera] = Rgb(1, 2, 3);
    dialog_ = Open();
    LOGFONTA offeredFont;
    uint32_t offeredColor = 0;
    dialog_->SetFontPicker([&](const LOGFONTA& font, uint32_t color, QWidget*) {
        offeredFont = font;
        offeredColor = color;
        return std::optional<FontChoice>(FontChoice{chosen, Rgb(10, 20, 30)});
    });
    Edit(1043)->setText("55");
    Click(1041);
    EXPECT_EQ(TakeMessage(), "");
    EXPECT_EQ(offeredFont, DefaultOverlayFont());
    EXPECT_EQ(offeredColor, Rgb(1, 2, 3));
    EXPECT_EQ(settings_.OverlayFont[kCamera], chosen);
    EXPECT_EQ(settings_.TextColor[kCamera], Rgb(10, 20, 30));
    EXPECT_EQ(settings_.JpegQuality[kCamera], 55);
    EXPECT_EQ(host_.saves, 1);
    EXPECT_EQ(host_.posts.size(), 2u);

    Edit(1043)->setText("60");
    QTest::keyClick(Edit(1043), Qt::Key_Escape);
    EXPECT_EQ(dialog_->result(), QDialog::Rejected);
    EXPECT_EQ(settings_.JpegQuality[kCamera], 55);
    EXPECT_EQ(host_.saves, 1);
}

TEST_F(OptionsDlgTest, PickersCommitOnlyValidFields)
{
    dialog_ = Open();
    // Cancelled pickers change nothing.
    dialog_->SetColorPicker([](uint32_t, QWidget*) { return std::optional<uint32_t>(); });
    Click(1005);
    EXPECT_EQ(host_.saves, 0);

    // A confirmed colour is kept even while another field is refused; that
    // field is reported and not stored.
    dialog_->SetColorPicker([](uint32_t color, QWidget*) {
        EXPECT_EQ(color, 0xFFFFFFu);
        return std::optional<uint32_t>(Rgb(0, 0, 255));
    });
    settings_.SaveEvery = 1000;
    Edit(1042)->setText("0");
    Click(1005);
    EXPECT_EQ(TakeMessage(), "Save Every X Seconds cannot be less than .1 or greater than 60");
    EXPECT_EQ(settings_.BackgroundColor[kCamera], 0xFF0000u);
    EXPECT_EQ(settings_.SaveEvery, 1000);
    EXPECT_EQ(host_.saves, 1);
    EXPECT_EQ(host_.posts.size(), 2u);
}

TEST_F(OptionsDlgTest, ApplyRefillsTheStoredValues)
{
    settings_.EnableMux = 1;
    settings_.MuxerInputs = {1, 1, 1, 0, 0, 0, 0, 0};
    dialog_ = Open();
    Edit(1042)->setText("1.001"); // 1001 / 3 = 333 per input, a cycle of 0.999
    Edit(1045)->setText(QString::fromStdString(home_ + "/Arch//"));
    Click(1051);
    EXPECT_EQ(TakeMessage(), "");
    EXPECT_TRUE(dialog_->isVisible());
    EXPECT_EQ(Edit(1042)->text(), "0.999");
    EXPECT_EQ(Edit(1045)->text().toStdString(), home_ + "/Arch/");
    EXPECT_EQ(host_.saves, 1);
}

TEST_F(OptionsDlgTest, F1OpensTheManual)
{
    dialog_ = Open();
    QTest::keyClick(Edit(1016), Qt::Key_F1);
    EXPECT_EQ(host_.manualOpened, 1);
}

// The default poster reaches real workers: the image thread first, then the archive thread.
TEST_F(OptionsDlgTest, CommitReachesBothWorkerThreads)
{
    CThreadRegistry registry;
    test::WorkerLog log;
    test::FakeWorker image(CWorkerThread::Group::Image, "image", log, registry);
    test::FakeWorker archive(CWorkerThread::Group::Archive, "archive", log, registry);
    image.Resume();
    archive.Resume();
    host_.imageThread = image.threadId();
    host_.archiveThread = archive.threadId();
    COptionsDlg dialog(host_, settings_, kCamera);
    dialog.OnInitDialog();
    ASSERT_TRUE(dialog.Validate() && dialog.Commit());
    EXPECT_TRUE(test::waitFor([&] { return log.Count("image settings") == 1 && log.Count("archive settings") == 1; }));
}

} // namespace
} // namespace vistrel
