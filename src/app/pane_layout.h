// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QRect>
#include <QSize>

#include <array>

namespace vistrel {

// Where the five controls of one camera go, in client pixels.
struct CameraRects {
    QRect pane;
    QRect frameRateLabel; // row-1 label
    QRect motionMeter;    // row-1 meter
    QRect forecastLabel;  // row-2 label
    QRect archiveMeter;   // row-2 meter
};

// One of the four views of the main window.
struct PaneLayout {
    int cameraCount = 1;                // cameras A.. shown; the others are hidden
    std::array<CameraRects, 8> cameras; // only the first cameraCount are placed
    QSize windowSize;                   // outer size of the window, frame and menu included
};

// The single-view pane size used before any frame size is known, or when the
// known one is out of range.
inline constexpr int kDefaultPaneWidth = 322;
inline constexpr int kDefaultPaneHeight = 242;

// The layout for `camView` (1 single; 2, 3, 4 four; 6 six; anything else
// eight). The single view uses the pane size paneWidth x paneHeight (frame
// size + 2), falling back to 322 x 242 when the width is not 1..1024, and
// swaps the two when camera A is rotated by 90 or 270 degrees.
PaneLayout ComputePaneLayout(int camView, int paneWidth, int paneHeight, int rotationA);

} // namespace vistrel
