// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/setup_window.h"

#include "common/control_id.h"
#include "common/dialog_units.h"
#include "capture/capture_backend.h"
#include "capture/test_pattern.h"
#include "support/fake_workers.h"
#include "support/recording_reporter.h"
#include "support/temp_env.h"
#include "support/window_controls.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QTest>

#include <atomic>
#include <cerrno>
#include <functional>
#include <thread>

namespace vistrel {
namespace {

// The test-pattern device without its crossbar: a device with no video inputs.
class NoCrossbarDevice : public ICaptureDevice {
public:
    explicit NoCrossbarDevice(std::unique_ptr<ICaptureDevice> inner)
        : inner_(std::move(inner))
    {
    }
    std::vector<CaptureFormat> Formats() override { return inner_->Formats(); }
    int SetFormat(const CaptureFormat& format) override { return inner_->SetFormat(format); }
    int SetDeliveredBitCount(int bitCount) override { return inner_->SetDeliveredBitCount(bitCount); }
    int PrepareStreaming() override { return inner_->PrepareStreaming(); }
    int SetupPreview() override { return inner_->SetupPreview(); }
    int Start() override { return inner_->Start(); }
    void Stop() override { inner_->Stop(); }
    bool Crossbar(CrossbarInfo&) override { return false; }
    int Route(int, int) override { return -EINVAL; }
    std::unique_ptr<Frame> LatestFrame() override { return inner_->LatestFrame(); }
    uint64_t FrameSequence() const override { return inner_->FrameSequence(); }
    BITMAPINFOHEADER DeliveredHeader() const override { return inner_->DeliveredHeader(); }
    int FrameIntervalMs() const override { return inner_->FrameIntervalMs(); }
    bool Lost() const override { return inner_->Lost(); }

private:
    std::unique_ptr<ICaptureDevice> inner_;
};

// The test-pattern backend whose opened device is wrapped by `wrap`.
class WrappingBackend : public TestPatternBackend {
public:
    using Wrap = std::function<std::unique_ptr<ICaptureDevice>(std::unique_ptr<ICaptureDevice>)>;
    explicit WrappingBackend(Wrap wrap)
        : wrap_(std::move(wrap))
    {
    }
    int OpenDevice(int number, std::unique_ptr<ICaptureDevice>& device) override
    {
        std::unique_ptr<ICaptureDevice> inner;
        const int result = TestPatternBackend::OpenDevice(number, inner);
        if (result == 0)
            device = wrap_(std::move(inner));
        return result;
    }

private:
    Wrap wrap_;
};

// The test pattern as an analog capture card: it has standards, and keeps
// the one set last.
class AnalogDevice : public NoCrossbarDevice {
public:
    AnalogDevice(std::unique_ptr<ICaptureDevice> inner, std::shared_ptr<std::atomic<int>> standard)
        : NoCrossbarDevice(std::move(inner))
        , standard_(std::move(standard))
    {
    }
    bool HasStandards() const override { return true; }
    int SetStandard(VideoStandard standard) override
    {
        *standard_ = int(standard);
        return 0;
    }

private:
    std::shared_ptr<std::atomic<int>> standard_;
};


class SetupWindowTest : public testing::Test {
protected:
    void SetUp() override
    {
        qputenv("VISTREL_NO_V4L2", "1");
        TestPatternFaults::Instance().Reset();
    }

    std::unique_ptr<CModelessDlg> makeWindow(std::unique_ptr<ICaptureBackend> backend = nullptr)
    {
        auto window = std::make_unique<CModelessDlg>(
            reporter, settings, [this](int view, uint32_t frameSize) { relayouts.emplace_back(view, frameSize); },
            [this] { ++manualOpened; }, std::move(backend));
        window->SetThreadIds(image.threadId(), archive.threadId());
        return window;
    }

    void startWorkers()
    {
        archive.Resume();
        image.Resume();
        ASSERT_TRUE(test::waitFor([&] { return log.Contains("image start") && log.Contains("archive start"); }));
    }

    test::TempEnvironment env;
    InstanceSettings settings;
    test::RecordingReporter reporter;
    std::vector<std::pair<int, uint32_t>> relayouts;
    int manualOpened = 0;
    CThreadRegistry registry;
    test::WorkerLog log;
    test::FakeWorker archive{CWorkerThread::Group::Archive, "archive", log, registry};
    test::FakeWorker image{CWorkerThread::Group::Image, "image", log, registry};

    void TearDown() override { registry.StopAll(true); }
};

TEST_F(SetupWindowTest, OpensIdleWithTheDevicesAndFormatsListed)
{
    auto window = makeWindow();
    EXPECT_EQ(window->windowTitle(), "Video Device Setup");
    for (int id = 1000; id <= 1006; ++id)
        EXPECT_NE(FindControl(*window, id), nullptr) << id;
    EXPECT_EQ(FindControl(*window, 1001), test::DeviceList(*window));
    EXPECT_EQ(test::DeviceList(*window)->count(), 1);
    EXPECT_EQ(test::DeviceList(*window)->itemText(0), "Vistrel Test Pattern");
    EXPECT_GT(test::FormatList(*window)->count(), 0);
    EXPECT_FALSE(test::InputList(*window)->isEnabled());
    EXPECT_EQ(test::StatusText(*window), "Video UnInitialized");
    EXPECT_FALSE(window->IsRunning());
    // 229 x 223 dialog units of the window's font, the preview 215 x 149.
    const DialogUnits units(window->font());
    EXPECT_EQ(window->size(), QSize(units.x(229), units.y(223))) << units.baseX() << " " << units.baseY();
    EXPECT_EQ(FindControl(*window, 1000)->size(), QSize(units.x(215), units.y(149)));
}

// The standard is offered where the running device has analog inputs, and nowhere else.
TEST_F(SetupWindowTest, TheStandardListShowsOnlyForAnalogDevicesAndTheChoiceIsKept)
{
    auto plain = makeWindow();
    plain->Initialize(0, "320x240 24 bit", -1);
    ASSERT_TRUE(plain->IsRunning());
    EXPECT_TRUE(test::StandardList(*plain)->isHidden());
    plain->UnInitialize();

    {
        TimedLock lock(settings.SettingsLock);
        settings.VideoStandard = "NTSC";
    }
    const auto standard = std::make_shared<std::atomic<int>>(-1);
    auto window = makeWindow(std::make_unique<WrappingBackend>([standard](std::unique_ptr<ICaptureDevice> inner) {
        return std::make_unique<AnalogDevice>(std::move(inner), standard);
    }));
    const int idleHeight = window->height();
    EXPECT_TRUE(test::StandardList(*window)->isHidden());
    window->Initialize(0, "320x240 24 bit", -1);
    ASSERT_TRUE(window->IsRunning());
    EXPECT_FALSE(test::StandardList(*window)->isHidden());
    EXPECT_GT(window->height(), idleHeight);
    EXPECT_EQ(test::StandardList(*window)->currentText(), "NTSC");
    EXPECT_EQ(*standard, int(VideoStandard::Ntsc)) << "the stored standard reaches the device at start";
    EXPECT_EQ(test::StandardList(*window)->count(), 4);

    test::StandardList(*window)->setCurrentIndex(3);
    Q_EMIT test::StandardList(*window)->activated(3);
    EXPECT_EQ(*standard, int(VideoStandard::Secam));
    {
        TimedLock lock(settings.SettingsLock);
        EXPECT_EQ(settings.VideoStandard, "SECAM");
    }
    window->UnInitialize();
    EXPECT_TRUE(test::StandardList(*window)->isHidden());
    EXPECT_EQ(window->height(), idleHeight);
}

TEST_F(SetupWindowTest, InitializeWithoutMultiplexingRoutesTheInputAndRelaysOut)
{
    startWorkers();
    auto window = makeWindow();
    window->Initialize(0, "640x480 24 bit", 2);

    ASSERT_TRUE(window->IsRunning());
    EXPECT_EQ(relayouts, (std::vector<std::pair<int, uint32_t>>{{1, 640u | (480u << 16)}}));
    EXPECT_EQ(test::StatusText(*window), "Decompressed Video Running at 640x480 24bit");
    EXPECT_EQ(test::FormatList(*window)->currentText(), "640x480 24 bit");
    EXPECT_TRUE(test::InputList(*window)->isEnabled());
    EXPECT_EQ(test::InputList(*window)->count(), 4);
    EXPECT_EQ(test::InputList(*window)->currentIndex(), 2);
    EXPECT_EQ(window->InputListSelection(), 2);
    {
        TimedLock lock(settings.SettingsLock);
        EXPECT_EQ(settings.Device, 0);
        EXPECT_EQ(settings.InputPin, 2);
        EXPECT_EQ(settings.VideoFormat, "640x480 24 bit");
    }
    EXPECT_TRUE(test::waitFor([&] { return log.Contains("image settings") && log.Contains("archive settings"); }));
    EXPECT_TRUE(reporter.messages().empty());
}

TEST_F(SetupWindowTest, WithMultiplexingOnTheInputListIsDisabledAndNothingIsRelaidOut)
{
    {
        TimedLock lock(settings.SettingsLock);
        settings.EnableMux = 1;
        settings.InputPin = 3;
    }
    auto window = makeWindow();
    window->Initialize(0, "320x240 24 bit", 2);
    ASSERT_TRUE(window->IsRunning());
    EXPECT_TRUE(relayouts.empty());
    EXPECT_FALSE(test::InputList(*window)->isEnabled());
    TimedLock lock(settings.SettingsLock);
    EXPECT_EQ(settings.EnableMux, 1);
    EXPECT_EQ(settings.InputPin, 0);
}

TEST_F(SetupWindowTest, ADeviceWithoutInputsSwitchesMultiplexingOff)
{
    {
        TimedLock lock(settings.SettingsLock);
        settings.EnableMux = 1;
    }
    auto window = makeWindow(std::make_unique<WrappingBackend>(
        [](std::unique_ptr<ICaptureDevice> inner) { return std::make_unique<NoCrossbarDevice>(std::move(inner)); }));
    window->Initialize(0, "320x240 24 bit", 1);
    ASSERT_TRUE(window->IsRunning());
    EXPECT_EQ(window->ListInputs(), -1);
    EXPECT_EQ(test::InputList(*window)->count(), 0);
    EXPECT_EQ(relayouts, (std::vector<std::pair<int, uint32_t>>{{1, 320u | (240u << 16)}}));
    TimedLock lock(settings.SettingsLock);
    EXPECT_EQ(settings.EnableMux, 0);
    EXPECT_EQ(settings.InputPin, 0);
}

TEST_F(SetupWindowTest, AFormatTheDeviceLacksFailsAndStaysIdle)
{
    startWorkers();
    auto window = makeWindow();
    window->Initialize(0, "999x999 24 bit", -1);
    EXPECT_FALSE(window->IsRunning());
    EXPECT_EQ(test::StatusText(*window), "Video UnInitialized");
    ASSERT_EQ(reporter.messages().size(), 1u);
    EXPECT_EQ(reporter.messages()[0].text, "Failed to Set Video Format");
    EXPECT_TRUE(relayouts.empty());
    EXPECT_FALSE(log.Contains("image settings"));
}

TEST_F(SetupWindowTest, ARefusedFormatTextLeavesTheRunningCaptureShownAsRunning)
{
    auto window = makeWindow();
    window->Initialize(0, "320x240 24 bit", -1);
    ASSERT_TRUE(window->IsRunning());
    window->Initialize(0, "bogus", -1);
    EXPECT_TRUE(window->IsRunning());
    EXPECT_EQ(test::StatusText(*window), "Decompressed Video Running at 320x240 24bit");
}

TEST_F(SetupWindowTest, UnInitializeStopsButKeepsTheListsAndAChosenInputIsStored)
{
    startWorkers();
    auto window = makeWindow();
    window->Initialize(0, "320x240 24 bit", -1);
    ASSERT_TRUE(window->IsRunning());
    window->UnInitialize();
    EXPECT_FALSE(window->IsRunning());
    EXPECT_EQ(test::StatusText(*window), "Video UnInitialized");
    EXPECT_EQ(test::InputList(*window)->count(), 4);
    EXPECT_EQ(window->SelectInput(1), -1);

    test::InputList(*window)->setCurrentIndex(3);
    Q_EMIT test::InputList(*window)->activated(3);
    TimedLock lock(settings.SettingsLock);
    EXPECT_EQ(settings.InputPin, 3);
}

TEST_F(SetupWindowTest, TheInitializeButtonUsesTheChosenDeviceAndFormat)
{
    auto window = makeWindow();
    const int index = test::FormatList(*window)->findText("160x120 8 bit");
    ASSERT_GE(index, 0);
    test::FormatList(*window)->setCurrentIndex(index);
    QTest::mouseClick(qobject_cast<QWidget*>(FindControl(*window, 1004)), Qt::LeftButton);
    ASSERT_TRUE(window->IsRunning());
    EXPECT_EQ(test::StatusText(*window), "Decompressed Video Running at 160x120 8bit");
    QTest::mouseClick(qobject_cast<QWidget*>(FindControl(*window, 1005)), Qt::LeftButton);
    EXPECT_FALSE(window->IsRunning());
}

TEST_F(SetupWindowTest, EscapeIsSwallowedWhileCloseAndEnterOnlyHide)
{
    auto window = makeWindow();
    window->ShowSetupWindow();
    // Escape in a list that does not use it reaches the window, which takes
    // it and stays open.
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QApplication::sendEvent(test::FormatList(*window), &escape);
    EXPECT_TRUE(escape.isAccepted());
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(window->close());
    EXPECT_FALSE(window->isVisible());
    window->ShowSetupWindow();
    QTest::keyClick(window.get(), Qt::Key_Return);
    EXPECT_FALSE(window->isVisible());
}

TEST_F(SetupWindowTest, TheImageThreadNeverWaitsForTheUserInterface)
{
    auto window = makeWindow();
    window->Initialize(0, "320x240 24 bit", 1);
    ASSERT_TRUE(test::InputList(*window)->isEnabled());
    int selection = -2;
    std::thread imageThread([&] {
        window->SetInputListEnabled(false);
        selection = window->InputListSelection();
    });
    imageThread.join();
    EXPECT_EQ(selection, 1);
    EXPECT_TRUE(test::waitFor([&] { return !test::InputList(*window)->isEnabled(); }));
    EXPECT_TRUE(test::waitFor([&] { return window->GrabFrame() != nullptr; }));
}

} // namespace
} // namespace vistrel
