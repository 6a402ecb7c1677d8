// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/pane_layout.h"
#include "pipeline/transforms.h"

#include <gtest/gtest.h>

namespace vistrel {
namespace {

struct SingleViewCase {
    const char* name;
    int paneWidth, paneHeight, rotation;
    QSize pane, window;
    int archiveMeterY;
};

class SingleView : public testing::TestWithParam<SingleViewCase> {};

TEST_P(SingleView, SizesThePaneFromTheFrameAndRotation)
{
    const SingleViewCase& c = GetParam();
    const PaneLayout layout = ComputePaneLayout(1, c.paneWidth, c.paneHeight, c.rotation);
    EXPECT_EQ(layout.cameraCount, 1);
    EXPECT_EQ(layout.cameras[0].pane, QRect(QPoint(10, 10), c.pane));
    EXPECT_EQ(layout.cameras[0].archiveMeter, QRect(10, c.archiveMeterY, c.pane.width(), 16));
    EXPECT_EQ(layout.windowSize, c.window);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, SingleView,
    testing::Values(SingleViewCase{"NoFrameYet", 0, 0, 0, {322, 242}, {348, 388}, 312},
                    SingleViewCase{"Vga", 642, 482, 0, {642, 482}, {668, 628}, 552},
                    SingleViewCase{"VgaTurned90", 642, 482, 90, {482, 642}, {508, 788}, 712},
                    SingleViewCase{"VgaTurned270", 642, 482, 270, {482, 642}, {508, 788}, 712},
                    SingleViewCase{"VgaTurned180", 642, 482, 180, {642, 482}, {668, 628}, 552},
                    SingleViewCase{"WidestAccepted", 1024, 578, 0, {1024, 578}, {1050, 724}, 648},
                    SingleViewCase{"TooWide", 1025, 770, 0, {322, 242}, {348, 388}, 312},
                    SingleViewCase{"TooWideTurned", 1025, 770, 90, {242, 322}, {268, 468}, 392}),
    [](const testing::TestParamInfo<SingleViewCase>& info) { return std::string(info.param.name); });

TEST(SingleView, StatusRowsFollowThePaneInOrder)
{
    const CameraRects a = ComputePaneLayout(1, 642, 482, 0).cameras[0];
    EXPECT_EQ(a.frameRateLabel, QRect(10, 495, 642, 16));
    EXPECT_EQ(a.motionMeter, QRect(10, 514, 642, 16));
    EXPECT_EQ(a.forecastLabel, QRect(10, 533, 642, 16));
}

struct GridCase {
    int camView;
    int cameraCount;
    int camera;
    QRect pane;
    int archiveMeterY;
    QSize window;
};

class GridView : public testing::TestWithParam<GridCase> {};

TEST_P(GridView, PlacesEachCameraInItsCell)
{
    const GridCase& c = GetParam();
    const PaneLayout layout = ComputePaneLayout(c.camView, 642, 482, 90); // frame and rotation do not matter
    EXPECT_EQ(layout.cameraCount, c.cameraCount);
    EXPECT_EQ(layout.cameras[c.camera].pane, c.pane);
    EXPECT_EQ(layout.cameras[c.camera].archiveMeter.topLeft(), QPoint(c.pane.x(), c.archiveMeterY));
    EXPECT_EQ(layout.windowSize, c.window);
}

INSTANTIATE_TEST_SUITE_P(Views, GridView,
                         testing::Values(GridCase{4, 4, 0, {5, 10, 322, 242}, 312, {665, 710}},
                                         GridCase{4, 4, 3, {332, 335, 322, 242}, 637, {665, 710}},
                                         GridCase{2, 4, 1, {332, 10, 322, 242}, 312, {665, 710}},
                                         GridCase{3, 4, 2, {5, 335, 322, 242}, 637, {665, 710}},
                                         GridCase{6, 6, 2, {659, 10, 322, 242}, 312, {992, 710}},
                                         GridCase{6, 6, 5, {659, 335, 322, 242}, 637, {992, 710}},
                                         GridCase{8, 8, 5, {242, 271, 228, 185}, 512, {948, 592}},
                                         GridCase{8, 8, 3, {704, 11, 228, 185}, 252, {948, 592}},
                                         GridCase{5, 8, 7, {704, 271, 228, 185}, 512, {948, 592}},
                                         GridCase{7, 8, 0, {11, 11, 228, 185}, 252, {948, 592}},
                                         GridCase{0, 8, 4, {11, 271, 228, 185}, 512, {948, 592}},
                                         GridCase{-3, 8, 6, {473, 271, 228, 185}, 512, {948, 592}}));

TEST(Rotation, ReadsTheLeadingDigits)
{
    EXPECT_EQ(RotationDegrees("90"), 90);
    EXPECT_EQ(RotationDegrees("270 degrees"), 270);
    EXPECT_EQ(RotationDegrees("-90"), 0);
    EXPECT_EQ(RotationDegrees("abc"), 0);
    EXPECT_EQ(RotationDegrees(""), 0);
    EXPECT_GT(RotationDegrees("99999999999999999999"), 0); // no overflow into a negative angle
    // Read as the image thread turns the frame, so the layout swaps with it.
    EXPECT_EQ(RotationDegrees(" 90"), 90);
    EXPECT_EQ(RotationDegrees("+270"), 270);
}

} // namespace
} // namespace vistrel
