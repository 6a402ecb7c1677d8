// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/main_dlg.h"

#include "app/camera_app.h"
#include "main_window_fixture.h"
#include "tray/tray_menu.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QDirIterator>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QScreen>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <thread>

namespace vistrel {
namespace {

using namespace std::chrono_literals;

uint32_t FrameSize(int width, int height)
{
    return uint32_t(width) | (uint32_t(height) << 16);
}

class MainDlgTest : public test::MainWindowTest {
protected:
    // The values stored in the process key of instance n, or of one camera.
    int32_t storedInt(const char* name, int camera = -1, int instance = 1)
    {
        CRegistryKey key;
        key.SetRootKey(RegistryRoot::HKEY_LOCAL_MACHINE);
        key.SetKey(camera < 0 ? ProcessKeyPath(instance) : CameraKeyPath(instance, camera), false);
        return key.ValueType(name) == 0 ? -99 : key.ReadInt(name, -1);
    }

    void store(const char* name, int32_t value)
    {
        CRegistryKey key;
        key.SetRootKey(RegistryRoot::HKEY_LOCAL_MACHINE);
        key.SetKey(ProcessKeyPath(1), true);
        key.WriteInt(name, value);
    }
};

TEST_F(MainDlgTest, StartUpTakesTheLowestFreeNumberAndPreparesEverything)
{
    const std::string locks = env.registryDir().toStdString();
    auto one = InstanceLock::Acquire(locks).lock;
    auto two = InstanceLock::Acquire(locks).lock;
    auto three = InstanceLock::Acquire(locks).lock;
    two.reset();

    auto window = makeWindow({}, true);
    ASSERT_TRUE(window->OnInitDialog());
    // Number 2 is the window's now: the next process gets 4.
    EXPECT_EQ(InstanceLock::Acquire(locks).lock->number(), 4);
    EXPECT_EQ(window->windowTitle(), "Vistrel 2   ");
    {
        TimedLock lock(settings.SettingsLock);
        EXPECT_EQ(settings.InstanceNumber, 2);
    }
    CSystemTray* tray = window->findChild<CSystemTray*>();
    ASSERT_NE(tray, nullptr);
    EXPECT_EQ(tray->toolTip(), "Vistrel 2");
    EXPECT_EQ(tray->iconId(), kTrayIconId);

    ASSERT_NE(test::SetupWindow(), nullptr);
    EXPECT_FALSE(test::SetupWindow()->isVisible());
    EXPECT_TRUE(test::waitFor([&] { return workers.log.Contains("archive start") && workers.log.Contains("image start"); }));

    for (int camera = 0; camera < kCameraCount; ++camera) {
        CLabelProgressCtrl* motion = test::MeterOf(*window, camera, Meter::Motion);
        CLabelProgressCtrl* archive = test::MeterOf(*window, camera, Meter::Archive);
        int lower = -1, upper = -1;
        motion->GetRange(lower, upper);
        EXPECT_EQ(std::make_pair(lower, upper), std::make_pair(0, 128));
        archive->GetRange(lower, upper);
        EXPECT_EQ(std::make_pair(lower, upper), std::make_pair(0, 100));
        for (CLabelProgressCtrl* meter : {motion, archive}) {
            EXPECT_TRUE(meter->HasStaticEdge());
            EXPECT_TRUE(meter->GetShowText());
            EXPECT_EQ(meter->GetWindowText(), " ");
        }
    }
}

TEST_F(MainDlgTest, WithAllHundredNumbersTakenNothingStartsAndNothingIsSaved)
{
    std::vector<std::unique_ptr<InstanceLock>> held;
    for (int n = 0; n < InstanceLock::kMaxInstances; ++n)
        held.push_back(InstanceLock::Acquire(env.registryDir().toStdString()).lock);
    ASSERT_TRUE(held.back());

    auto window = makeWindow();
    EXPECT_FALSE(window->OnInitDialog());
    ASSERT_EQ(reporter.messages().size(), 1u);
    EXPECT_EQ(reporter.messages()[0].text, "You already have 100 instances of this programming running!");
    EXPECT_EQ(workers.created, 0);
    EXPECT_EQ(quits, 1);
    EXPECT_EQ(test::SetupWindow(), nullptr);
    EXPECT_EQ(window->findChild<CSystemTray*>(), nullptr);
    window->show();
    EXPECT_FALSE(window->isVisible());
    window.reset();
    // The store holds the lock files, but no key.
    QDirIterator files(env.registryDir() + "/HKEY_LOCAL_MACHINE", QDir::Files, QDirIterator::Subdirectories);
    EXPECT_FALSE(files.hasNext()) << files.next().toStdString();
}

TEST_F(MainDlgTest, StartedWithMTheWindowStaysHiddenUntilRestore)
{
    auto window = makeWindow({"-m"}, true);
    ASSERT_TRUE(window->OnInitDialog());
    window->show();
    EXPECT_FALSE(window->isVisible());
    window->OnCommand(kTrayRestoreCommand);
    EXPECT_TRUE(window->isVisible());
    // The hidden flag is gone: the window shows again after a hide.
    window->hide();
    window->show();
    EXPECT_TRUE(window->isVisible());
}

TEST_F(MainDlgTest, StartedWithMWithoutANotificationAreaTheWindowStartsMinimised)
{
    auto window = makeWindow({"-m"}, false);
    ASSERT_TRUE(window->OnInitDialog());
    window->show();
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->isMinimized());
    // No hidden flag was kept: the window shows again after a hide.
    window->hide();
    window->show();
    EXPECT_TRUE(window->isVisible());
}

TEST_F(MainDlgTest, EveryControlIsFoundByItsId)
{
    auto window = makeWindow();
    for (int camera = 0; camera < kCameraCount; ++camera) {
        EXPECT_NE(test::PaneOf(*window, camera), nullptr) << camera;
        EXPECT_NE(test::LabelOf(*window, camera, Label::FrameRate), nullptr) << camera;
        EXPECT_NE(test::LabelOf(*window, camera, Label::Forecast), nullptr) << camera;
        EXPECT_NE(test::MeterOf(*window, camera, Meter::Motion), nullptr) << camera;
        EXPECT_NE(test::MeterOf(*window, camera, Meter::Archive), nullptr) << camera;
    }
    EXPECT_EQ(test::LabelOf(*window, 0, Label::FrameRate)->alignment(), Qt::AlignCenter);
    EXPECT_EQ(test::LabelOf(*window, 0, Label::FrameRate)->frameShadow(), QFrame::Sunken);
    EXPECT_EQ(test::LabelOf(*window, 0, Label::Forecast)->alignment(), Qt::AlignCenter);
}

TEST_F(MainDlgTest, MenuCarriesItsTextsAndCommandIds)
{
    auto window = makeWindow();
    std::vector<std::pair<QString, int>> entries;
    QStringList menus;
    for (const QAction* menu : window->menuBar()->actions()) {
        menus << menu->text();
        for (const QAction* item : menu->menu()->actions())
            entries.emplace_back(item->text(), CommandId(item));
    }
    EXPECT_EQ(menus, QStringList({"&File", "&Device", "&Options", "&View", "&Help"}));
    const std::vector<std::pair<QString, int>> expected = {
        {"&Exit", 32772},     {"&Select Device\tF2", 32774}, {"&Multiplexing", 32775}, {"&Events...", 32794},
        {"&Remote Access...", 32795}, {"&Storage...", 32790},
        {"&1 Camera", 32776},
        {"&4 Cameras", 32777}, {"&6 Cameras", 32788},        {"&8 Cameras", 32778},    {"", 0},
        {"&Review Archive", 32789}, {"&About...", 32773},    {"&Manual", 32787}};
    EXPECT_EQ(entries, expected);
}

TEST_F(MainDlgTest, PanesFollowTheFrameSizeRotationAndView)
{
    auto window = makeWindow();
    ASSERT_TRUE(window->OnInitDialog());
    window->show();
    const auto pane = [&](int camera) { return test::PaneOf(*window, camera); };
    const auto control = [&](int id) { return FindControl(*window, id); };
    const auto outerSizeIs = [&](QSize size) {
        return test::waitFor([&] { return window->frameGeometry().size() == size; });
    };

    EXPECT_EQ(pane(0)->geometry(), QRect(10, 10, 322, 242));
    // The offscreen platform reports a frame once the window is shown.
    EXPECT_TRUE(outerSizeIs(QSize(348, 388)))
        << window->frameGeometry().width() << "x" << window->frameGeometry().height();
    EXPECT_TRUE(pane(1)->isHidden());
    EXPECT_TRUE(test::MeterOf(*window, 1, Meter::Archive)->isHidden());

    window->OnRelayout(1, FrameSize(640, 480));
    EXPECT_EQ(pane(0)->size(), QSize(642, 482));
    EXPECT_EQ(control(1052)->geometry(), QRect(10, 552, 642, 16));
    EXPECT_TRUE(outerSizeIs(QSize(668, 628)));
    QApplication::processEvents();
    EXPECT_TRUE(window->centralWidget()->rect().contains(control(1052)->geometry()));

    {
        TimedLock lock(settings.SettingsLock);
        settings.Rotation[0] = "90";
    }
    window->LayoutPanes(0, 0);
    EXPECT_EQ(pane(0)->size(), QSize(482, 642));
    EXPECT_TRUE(outerSizeIs(QSize(508, 788)));
    {
        TimedLock lock(settings.SettingsLock);
        settings.Rotation[0] = "0";
    }

    window->OnRelayout(1, FrameSize(1023, 480));
    EXPECT_EQ(pane(0)->size(), QSize(322, 242));

    window->OnCommand(kView8Command);
    EXPECT_EQ(test::CheckedView(*window), "&8 Cameras");
    EXPECT_EQ(control(1022)->geometry(), QRect(242, 271, 228, 185));
    EXPECT_EQ(control(1057)->geometry().topLeft(), QPoint(242, 512));
    for (int camera = 0; camera < kCameraCount; ++camera)
        EXPECT_FALSE(pane(camera)->isHidden());
    QApplication::processEvents();
    EXPECT_TRUE(window->centralWidget()->rect().contains(control(1059)->geometry()));

    window->OnCommand(kView4Command);
    EXPECT_TRUE(pane(3)->isVisible());
    EXPECT_TRUE(pane(4)->isHidden());
    EXPECT_TRUE(outerSizeIs(QSize(665, 710)));
}

// The View menu marks the view shown, and a window that grows with a view
// is moved by its new size, so that it stays on the screen (or at its top,
// where it is taller than the screen).
TEST_F(MainDlgTest, ViewsAreMarkedInTheMenuAndTheGrownWindowStaysOnTheScreen)
{
    auto window = makeWindow();
    ASSERT_TRUE(window->OnInitDialog());
    window->show();
    const QRect screen = window->screen()->availableGeometry();
    window->move(screen.left() + 20, screen.bottom() - 420);
    ASSERT_TRUE(test::waitFor([&] { return window->frameGeometry().top() == screen.bottom() - 420; }));

    QMenu* viewMenu = nullptr;
    for (QAction* menu : window->menuBar()->actions())
        if (menu->text() == "&View")
            viewMenu = menu->menu();
    ASSERT_NE(viewMenu, nullptr);
    const auto checked = [&] {
        QStringList texts;
        for (const QAction* item : viewMenu->actions())
            if (item->isChecked())
                texts << item->text();
        return texts;
    };
    EXPECT_EQ(checked(), QStringList{"&1 Camera"});

    const struct {
        int command;
        const char* text;
        QSize outerSize;
    } steps[] = {{kView4Command, "&4 Cameras", {665, 710}},
                 {kView8Command, "&8 Cameras", {948, 592}},
                 {kView6Command, "&6 Cameras", {992, 710}}};
    for (const auto& step : steps) {
        const char* text = step.text;
        const QSize outerSize = step.outerSize;
        window->OnCommand(step.command);
        EXPECT_EQ(checked(), QStringList{text});
        EXPECT_TRUE(test::waitFor([&] {
            const QRect frame = window->frameGeometry();
            return frame.size() == outerSize && (frame.bottom() <= screen.bottom() || frame.top() == screen.top());
        })) << text << ": " << window->frameGeometry().y() << "+" << window->frameGeometry().height();
    }
}

TEST_F(MainDlgTest, MaximiseStepsThroughTheViews)
{
    auto window = makeWindow();
    ASSERT_TRUE(window->OnInitDialog());
    window->show();
    for (const char* expected : {"&4 Cameras", "&6 Cameras", "&8 Cameras", "&1 Camera"}) {
        window->setWindowState(window->windowState() | Qt::WindowMaximized);
        EXPECT_TRUE(test::waitFor([&] {
            return test::CheckedView(*window) == expected && !(window->windowState() & Qt::WindowMaximized);
        })) << "expected view " << expected;
    }
}

TEST_F(MainDlgTest, AStoredViewFiveShowsEightCamerasAndStaysFive)
{
    store("CamView", 5);
    auto window = makeWindow();
    ASSERT_TRUE(window->OnInitDialog());
    window->show();
    window->SaveSettings();
    EXPECT_EQ(storedInt("CamView"), 5);
    EXPECT_FALSE(test::PaneOf(*window, 7)->isHidden());
    EXPECT_EQ(test::PaneOf(*window, 5)->geometry(), QRect(242, 271, 228, 185));

    window->setWindowState(Qt::WindowMaximized);
    EXPECT_TRUE(test::waitFor([&] { return !(window->windowState() & Qt::WindowMaximized); }));
    window->SaveSettings();
    EXPECT_EQ(storedInt("CamView"), 5);
    EXPECT_FALSE(test::PaneOf(*window, 7)->isHidden());
}

TEST_F(MainDlgTest, EscapeDoesNothingWhileCloseAndEnterHideToTheTray)
{
    auto window = makeWindow({}, true);
    ASSERT_TRUE(window->OnInitDialog());
    window->show();
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(window.get(), &escape);
    EXPECT_TRUE(escape.isAccepted()) << "Escape must be taken by the window, not passed on";
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(test::CheckedView(*window), "&1 Camera");

    EXPECT_FALSE(window->close());
    EXPECT_FALSE(window->isVisible());
    window->OnCommand(kTrayRestoreCommand);
    EXPECT_TRUE(window->isVisible());

    QTest::keyClick(window.get(), Qt::Key_Return);
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(window->exitStarted());
}

TEST_F(MainDlgTest, WithoutATrayCloseOnlyMinimises)
{
    auto window = makeWindow({}, false);
    ASSERT_TRUE(window->OnInitDialog());
    window->show();
    EXPECT_FALSE(window->close());
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(window->isMinimized());
}

class ExitCommand : public MainDlgTest, public testing::WithParamInterface<int> {};

TEST_P(ExitCommand, StopsArchiveThenImageThenSavesOnceAndQuits)
{
    workers.onArchiveStop = [this] {
        // The archive worker's last count must reach the store.
        TimedLock lock(settings.ArchiveCountLock[0]);
        settings.ArchiveCount[0] = 7;
    };
    auto window = makeWindow();
    ASSERT_TRUE(window->OnInitDialog());
    // Both registered: a worker that has not yet joined the registry when
    // stopping begins is refused and ends without a stop message.
    ASSERT_TRUE(test::waitFor([&] { return workers.log.Contains("image start") && workers.log.Contains("archive start"); }));

    window->OnCommand(GetParam());
    window->StartExit(); // a second request (a signal, say) changes nothing
    ASSERT_TRUE(test::waitFor([&] { return quits == 1; }));
    EXPECT_FALSE(test::waitFor([&] { return quits > 1; }, 300ms));

    const int archiveStop = workers.log.IndexOf("archive stop");
    const int imageStop = workers.log.IndexOf("image stop");
    ASSERT_GE(archiveStop, 0);
    ASSERT_GE(imageStop, 0);
    EXPECT_LT(archiveStop, imageStop);
    EXPECT_EQ(saves, 1);
    EXPECT_TRUE(window->exitFinished());
    EXPECT_EQ(test::SetupWindow(), nullptr);
    EXPECT_EQ(storedInt("LastArchiveSize", 0), 7);
    EXPECT_EQ(storedInt("VideoOn"), 0);

    window->OnCommand(kView8Command); // commands after exit began are ignored
    EXPECT_EQ(test::CheckedView(*window), "&1 Camera");
}

INSTANTIATE_TEST_SUITE_P(MenuAndTray, ExitCommand, testing::Values(kExitCommand, kTrayExitCommand));

TEST_F(MainDlgTest, AWorkerThatOutlivesItsWaitDoesNotHoldUpTheSaveAndTheQuit)
{
    CThreadRegistry shortWait(200ms);
    std::atomic<bool> release { false };
    workers.onImageStop = [&] {
        while (!release)
            std::this_thread::sleep_for(10ms);
    };
    auto window = makeWindow({}, false, &shortWait);
    ASSERT_TRUE(window->OnInitDialog());
    ASSERT_TRUE(test::waitFor([&] { return workers.log.Contains("image start") && workers.log.Contains("archive start"); }));

    window->OnCommand(kExitCommand);
    EXPECT_TRUE(test::waitFor([&] { return quits == 1; }, 30s)) << "the exit waited for the hung worker";
    EXPECT_EQ(saves, 1);
    EXPECT_TRUE(window->workerHung());
    // The hung image thread still reads frames through the setup window.
    EXPECT_NE(test::SetupWindow(), nullptr);

    release = true;
    EXPECT_TRUE(test::waitFor([&] { return !window->workerHung(); }, 30s));
}

TEST_F(MainDlgTest, CaptureOnAtTheLastExitStartsAgainWithTheSameChoices)
{
    store("VideoOn", 1);
    store("InputPin", 2);
    {
        CRegistryKey key;
        key.SetRootKey(RegistryRoot::HKEY_LOCAL_MACHINE);
        key.SetKey(ProcessKeyPath(1), true);
        key.WriteString("VideoFormat", "640x480 24 bit");
    }
    auto window = makeWindow();
    ASSERT_TRUE(window->OnInitDialog());
    CModelessDlg* setup = test::SetupWindow();
    ASSERT_TRUE(setup->IsRunning());
    EXPECT_EQ(FindControl<QLabel>(*setup, 1006)->text(), "Decompressed Video Running at 640x480 24bit");
    EXPECT_EQ(test::PaneOf(*window, 0)->size(), QSize(642, 482));
    EXPECT_EQ(FindControl<QComboBox>(*setup, 1003)->currentIndex(), 2);
    {
        TimedLock lock(settings.SettingsLock);
        EXPECT_EQ(settings.InputPin, 2);
    }

    window->OnCommand(kExitCommand);
    ASSERT_TRUE(test::waitFor([&] { return quits == 1; }));
    EXPECT_EQ(storedInt("VideoOn"), 1);
    EXPECT_EQ(storedInt("InputPin"), 2);
}

// A stop request (SIGTERM, or "Exit" from the tray) while start-up waits in
// an "Init Failed" box: the box is closed, and the windows are torn down only
// once the code that opened it has returned. Under AddressSanitizer a setup
// window destroyed from inside its own box shows as a use after free.
TEST_F(MainDlgTest, ExitWhileAnInitFailedBoxIsOpenClosesTheBoxBeforeTearingDown)
{
    store("VideoOn", 1);
    {
        CRegistryKey key;
        key.SetRootKey(RegistryRoot::HKEY_LOCAL_MACHINE);
        key.SetKey(ProcessKeyPath(1), true);
        key.WriteString("VideoFormat", "999x999 24 bit");
    }
    QtMessageReporter boxes;
    MainDlgEnvironment e = environment();
    e.reporter = &boxes;
    e.quit = nullptr; // the program's own quit
    CMainDlg window(std::move(e));

    QString boxText;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box && boxText.isEmpty()) {
            boxText = box->windowTitle() + ": " + box->text();
            window.StartExit();
        }
    });
    poll.start(10);

    EXPECT_EQ(RunMainWindow(window), 0);
    EXPECT_EQ(boxText, "Init Failed: Failed to Set Video Format");
    EXPECT_TRUE(window.exitFinished());
    EXPECT_EQ(saves, 1);
    EXPECT_EQ(test::SetupWindow(), nullptr);
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    EXPECT_EQ(storedInt("VideoOn"), 0);
}

TEST_F(MainDlgTest, PostedCommandsRunLaterOnTheUserInterfaceThread)
{
    auto window = makeWindow();
    ASSERT_TRUE(window->OnInitDialog());
    window->PostCommand(kView6Command);
    EXPECT_EQ(test::CheckedView(*window), "&1 Camera");
    EXPECT_TRUE(test::waitFor([&] { return test::CheckedView(*window) == "&6 Cameras"; }));
}

TEST_F(MainDlgTest, WorkerUpdatesReachTheControlsWithTheLatestValue)
{
    auto window = makeWindow();
    ASSERT_TRUE(window->OnInitDialog());
    // The display the workers were given.
    ASSERT_NE(workers.imageDisplay, nullptr);
    ASSERT_EQ(workers.archiveDisplay, workers.imageDisplay);
    IRecorderDisplay& display = *workers.imageDisplay;
    std::thread worker([&display] {
        for (int i = 0; i <= 500; ++i) {
            display.SetMeterPos(2, Meter::Motion, i % 129);
            display.SetMeterText(2, Meter::Motion, "Motion Detection Meter: " + std::to_string(i));
            display.SetLabelText(2, Label::FrameRate, "Frame Rate " + std::to_string(i));
        }
        display.SetMeterBarColour(2, Meter::Motion, Rgb(255, 0, 0));
        display.SetMeterRange(2, Meter::Archive, 0, 300);
        display.SetMeterPos(2, Meter::Archive, 299);
        display.SetLabelText(2, Label::Forecast, "Forecast Disk Usage: 1.43 MB, Used so far: 0.98 MB");
    });
    worker.join();
    CLabelProgressCtrl* motion = test::MeterOf(*window, 2, Meter::Motion);
    ASSERT_TRUE(test::waitFor([&] { return motion->GetWindowText() == "Motion Detection Meter: 500"; }));
    EXPECT_EQ(motion->GetPos(), 500 % 129);
    EXPECT_EQ(motion->GetBarColour(), Rgb(255, 0, 0));
    EXPECT_EQ(test::LabelOf(*window, 2, Label::FrameRate)->text(), "Frame Rate 500");
    EXPECT_EQ(test::LabelOf(*window, 2, Label::Forecast)->text(), "Forecast Disk Usage: 1.43 MB, Used so far: 0.98 MB");
    CLabelProgressCtrl* archive = test::MeterOf(*window, 2, Meter::Archive);
    int lower = 0, upper = 0;
    archive->GetRange(lower, upper);
    EXPECT_EQ(upper, 300);
    EXPECT_EQ(archive->GetPos(), 299);
    EXPECT_EQ(&display.Pane(5), static_cast<ICameraPane*>(test::PaneOf(*window, 5)));
}

TEST_F(MainDlgTest, DoubleClickOnAPaneOpensThatCamerasOptions)
{
    auto window = makeWindow();
    ASSERT_TRUE(window->OnInitDialog());
    window->OnCommand(kView8Command);
    window->show();
    QString title;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            title = modal->windowTitle();
            modal->close();
        }
    });
    poll.start(10);
    QTest::mouseDClick(FindControl(*window, 1022), Qt::LeftButton);
    EXPECT_EQ(title, "Options for Camera F");
}

TEST_F(MainDlgTest, ShiftDoubleClickAndTheViewMenuOpenTheArchiveReview)
{
    auto window = makeWindow();
    ASSERT_TRUE(window->OnInitDialog());
    window->OnCommand(kView8Command);
    window->show();
    bool dialogOpened = false;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            dialogOpened = true;
            modal->close();
        }
    });
    poll.start(10);
    QTest::mouseDClick(FindControl(*window, 1022), Qt::LeftButton, Qt::ShiftModifier);
    ASSERT_EQ(test::OpenReviewWindows().size(), 1u);
    EXPECT_EQ(test::OpenReviewWindows()[0]->camera(), 5);
    EXPECT_FALSE(dialogOpened);

    QAction* review = nullptr;
    for (QAction* menu : window->menuBar()->actions())
        if (menu->text() == "&View")
            for (QAction* item : menu->menu()->actions())
                if (item->text() == "&Review Archive")
                    review = item;
    ASSERT_TRUE(review);
    review->trigger();
    review->trigger(); // the open one comes to the front; no second window
    std::vector<ReviewWindow*> open = test::OpenReviewWindows();
    ASSERT_EQ(open.size(), 2u);
    std::sort(open.begin(), open.end(), [](ReviewWindow* a, ReviewWindow* b) { return a->camera() < b->camera(); });
    EXPECT_EQ(open[0]->camera(), 0);
    EXPECT_TRUE(open[0]->isVisible());
    EXPECT_EQ(open[1]->camera(), 5);

    // The window takes the review windows with it when it goes.
    const QPointer<ReviewWindow> first = open[0];
    window.reset();
    EXPECT_TRUE(first.isNull());
}

TEST_F(MainDlgTest, MultiplexingWithoutCaptureIsRefusedThroughTheReporter)
{
    auto window = makeWindow();
    ASSERT_TRUE(window->OnInitDialog());
    EXPECT_EQ(window->VideoInputCount(), -1);
    window->OnCommand(kMultiplexingCommand);
    ASSERT_FALSE(reporter.messages().empty());
    EXPECT_EQ(reporter.messages().back().caption, "Cannot Multiplex");
}

TEST_F(MainDlgTest, ManualAndDeviceCommands)
{
    auto window = makeWindow();
    ASSERT_TRUE(window->OnInitDialog());
    window->show();
    window->move(40, 30);

    window->OnCommand(kManualCommand);
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_TRUE(opened[0].isLocalFile());
    // Named after the program as it is called: here the test program.
    EXPECT_EQ(QFileInfo(opened[0].toLocalFile()).fileName(),
              QFileInfo(QCoreApplication::applicationFilePath()).fileName() + ".mht");
    EXPECT_EQ(window->findChild<CManualWindow*>(), nullptr);
    // Where the desktop cannot show it, the program's own window does.
    desktopOpens = false;
    window->OnCommand(kManualCommand);
    ASSERT_NE(window->findChild<CManualWindow*>(), nullptr);
    EXPECT_TRUE(window->findChild<CManualWindow*>()->isVisible());

    window->OnCommand(kSelectDeviceCommand);
    CModelessDlg* setup = test::SetupWindow();
    EXPECT_TRUE(setup->isVisible());
    EXPECT_EQ(setup->pos(), window->pos() + QPoint(25, 25));
}

} // namespace
} // namespace vistrel
