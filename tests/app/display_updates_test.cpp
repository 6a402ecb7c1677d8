// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/display_updates.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace vistrel {
namespace {

TEST(DisplayUpdates, OneFlushIsAskedForPerBurst)
{
    DisplayUpdateQueue queue;
    EXPECT_TRUE(queue.SetMeterPos(0, Meter::Motion, 1));
    EXPECT_FALSE(queue.SetMeterPos(0, Meter::Motion, 2));
    EXPECT_FALSE(queue.SetLabelText(7, Label::Forecast, "x"));
    queue.Take();
    EXPECT_TRUE(queue.SetMeterText(3, Meter::Archive, "y"));
}

TEST(DisplayUpdates, TheLatestValueOfEachPropertyWins)
{
    DisplayUpdateQueue queue;
    queue.SetMeterRange(2, Meter::Archive, 0, 100);
    queue.SetMeterText(2, Meter::Archive, "Reading Archive 1 of 300");
    queue.SetMeterText(2, Meter::Archive, "Reading Archive 2 of 300");
    queue.SetMeterRange(2, Meter::Archive, 0, 300);
    queue.SetMeterPos(2, Meter::Archive, 2);
    queue.SetMeterBarColour(0, Meter::Motion, Rgb(255, 0, 0));
    queue.SetLabelText(0, Label::FrameRate, "a");
    queue.SetLabelText(0, Label::FrameRate, "b");

    const DisplayUpdateQueue::Pending pending = queue.Take();
    const auto& archive = pending.meters[2][int(Meter::Archive)];
    EXPECT_EQ(archive.range, std::make_pair(0, 300));
    EXPECT_EQ(archive.text, "Reading Archive 2 of 300");
    EXPECT_EQ(archive.pos, 2);
    EXPECT_FALSE(archive.barColour.has_value());
    EXPECT_FALSE(pending.meters[2][int(Meter::Motion)].pos.has_value());
    EXPECT_EQ(pending.meters[0][int(Meter::Motion)].barColour, Rgb(255, 0, 0));
    EXPECT_EQ(pending.labels[0][int(Label::FrameRate)], "b");
    EXPECT_FALSE(pending.labels[0][int(Label::Forecast)].has_value());

    const DisplayUpdateQueue::Pending empty = queue.Take();
    EXPECT_FALSE(empty.meters[2][int(Meter::Archive)].text.has_value());
}

TEST(DisplayUpdates, CamerasOutsideTheEightAreDropped)
{
    DisplayUpdateQueue queue;
    EXPECT_FALSE(queue.SetMeterPos(8, Meter::Motion, 1));
    EXPECT_FALSE(queue.SetLabelText(-1, Label::FrameRate, "x"));
    EXPECT_TRUE(queue.SetMeterPos(0, Meter::Motion, 1));
}

TEST(DisplayUpdates, ConcurrentWritersLoseNoFinalValue)
{
    DisplayUpdateQueue queue;
    constexpr int kWrites = 20000;
    std::vector<std::thread> writers;
    for (int camera = 0; camera < 4; ++camera) {
        writers.emplace_back([&queue, camera] {
            for (int i = 1; i <= kWrites; ++i)
                queue.SetMeterPos(camera, Meter::Motion, i);
        });
    }
    int taken[4] = {};
    int flushes = 0;
    bool done = false;
    while (!done) {
        done = true;
        const auto pending = queue.Take();
        ++flushes;
        for (int camera = 0; camera < 4; ++camera) {
            if (const auto& pos = pending.meters[camera][int(Meter::Motion)].pos)
                taken[camera] = *pos;
            done = done && taken[camera] == kWrites;
        }
    }
    for (std::thread& writer : writers)
        writer.join();
    EXPECT_GT(flushes, 0);
    for (int camera = 0; camera < 4; ++camera)
        EXPECT_EQ(taken[camera], kWrites);
}

} // namespace
} // namespace vistrel
