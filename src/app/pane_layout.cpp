// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/pane_layout.h"

#include <utility>

namespace vistrel {

namespace {

struct GridView {
    int cameraCount;
    int columns;
    QSize pane;
    std::array<int, 4> columnX;
    std::array<int, 2> rowY;
    std::array<int, 4> statusOffsets; // below the pane top: label, meter, label, meter
    QSize window;
};

constexpr GridView kFourView{4, 2, {322, 242}, {5, 332, 0, 0}, {10, 335}, {245, 264, 283, 302}, {665, 710}};
constexpr GridView kSixView{6, 3, {322, 242}, {5, 332, 659, 0}, {10, 335}, {245, 264, 283, 302}, {992, 710}};
constexpr GridView kEightView{8, 4, {228, 185}, {11, 242, 473, 704}, {11, 271}, {187, 205, 223, 241}, {948, 592}};

constexpr int kStatusHeight = 16;

PaneLayout GridLayout(const GridView& view)
{
    PaneLayout layout;
    layout.cameraCount = view.cameraCount;
    layout.windowSize = view.window;
    for (int camera = 0; camera < view.cameraCount; ++camera) {
        const int x = view.columnX[camera % view.columns];
        const int y = view.rowY[camera / view.columns];
        const int w = view.pane.width();
        CameraRects& rects = layout.cameras[camera];
        rects.pane = QRect(x, y, w, view.pane.height());
        rects.frameRateLabel = QRect(x, y + view.statusOffsets[0], w, kStatusHeight);
        rects.motionMeter = QRect(x, y + view.statusOffsets[1], w, kStatusHeight);
        rects.forecastLabel = QRect(x, y + view.statusOffsets[2], w, kStatusHeight);
        rects.archiveMeter = QRect(x, y + view.statusOffsets[3], w, kStatusHeight);
    }
    return layout;
}

} // namespace

PaneLayout ComputePaneLayout(int camView, int paneWidth, int paneHeight, int rotationA)
{
    if (camView == 1) {
        int w = paneWidth;
        int h = paneHeight;
        if (w < 1 || w > 1024) {
            w = kDefaultPaneWidth;
            h = kDefaultPaneHeight;
        }
        if (rotationA == 90 || rotationA == 270)
            std::swap(w, h);
        PaneLayout layout;
        layout.cameraCount = 1;
        layout.windowSize = QSize(w + 26, h + 146);
        CameraRects& rects = layout.cameras[0];
        rects.pane = QRect(10, 10, w, h);
        rects.frameRateLabel = QRect(10, h + 13, w, kStatusHeight);
        rects.motionMeter = QRect(10, h + 32, w, kStatusHeight);
        rects.forecastLabel = QRect(10, h + 51, w, kStatusHeight);
        rects.archiveMeter = QRect(10, h + 70, w, kStatusHeight);
        return layout;
    }
    if (camView >= 2 && camView <= 4)
        return GridLayout(kFourView);
    if (camView == 6)
        return GridLayout(kSixView);
    return GridLayout(kEightView);
}

} // namespace vistrel
