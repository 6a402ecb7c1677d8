// SPDX-License-Identifier: GPL-3.0-or-later
#include "pipeline/image_thread.h"

#include "frame_helpers.h"
#include "support/fake_display.h"
#include "support/fake_video_source.h"
#include "support/temp_env.h"

#include <gtest/gtest.h>

namespace vistrel {
namespace {

using test::FakeDisplay;
using test::FakeSource;

// The real worker: registers, loads the settings, paces frames on its own
// timer, takes a settings change and ends through the registry.
TEST(ImageThread, RunsFramesReloadsOnRequestAndStopsThroughTheRegistry)
{
    InstanceSettings settings;
    settings.SaveEvery = 100;
    FakeDisplay display;
    FakeSource source;
    source.makeFrame = [] { return test::SolidFrame(64, 48, 24, 0x202020); };
    CThreadRegistry registry;
    CImageThread thread(display, source, settings, registry);
    thread.Resume();

    ASSERT_TRUE(test::waitFor([&] { return display.panes[0].images() >= 3; }));
    EXPECT_EQ(registry.RegisteredCount(), 1);
    const int overlaySets = display.panes[5].overlaySets();
    EXPECT_GE(overlaySets, 1) << "settings loaded at start";

    {
        TimedLock lock(settings.SettingsLock);
        settings.OverlayText[5] = "Yard";
    }
    ASSERT_TRUE(PostThreadMessage(thread.threadId(), WM_SETTINGS_CHANGED, 0, 0));
    ASSERT_TRUE(test::waitFor([&] { return display.panes[5].overlay().text == "Yard"; }));
    EXPECT_EQ(display.panes[5].overlaySets(), overlaySets + 1);

    registry.StopAll(true);
    EXPECT_TRUE(thread.isFinished());
}

} // namespace
} // namespace vistrel
