// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace vistrel {

// Command ids of the main window's menu 129; the multiplexer dialog posts
// the view commands too.
inline constexpr int kExitCommand = 32772;         // "&File" / "&Exit"
inline constexpr int kSelectDeviceCommand = 32774; // "&Device" / "&Select Device\tF2"
inline constexpr int kMultiplexingCommand = 32775; // "&Options" / "&Multiplexing"
inline constexpr int kEventsCommand = 32794;       // "&Options" / "&Events..."
inline constexpr int kRemoteAccessCommand = 32795; // "&Options" / "&Remote Access..."
inline constexpr int kStorageCommand = 32790;      // "&Options" / "&Storage..."
inline constexpr int kView1Command = 32776;        // "&View" / "&1 Camera"
inline constexpr int kView4Command = 32777;        // "&View" / "&4 Cameras"
inline constexpr int kView6Command = 32788;        // "&View" / "&6 Cameras"
inline constexpr int kView8Command = 32778;        // "&View" / "&8 Cameras"
inline constexpr int kReviewArchiveCommand = 32789; // "&View" / "&Review Archive"
inline constexpr int kAboutCommand = 32773;        // "&Help" / "&About..."
inline constexpr int kManualCommand = 32787;       // "&Help" / "&Manual"

// Control ids of the main window: camera i owns base + i of each.
inline constexpr int kPaneIdBase = 1017;
inline constexpr int kFrameRateLabelIdBase = 1025;
inline constexpr int kMotionMeterIdBase = 1033;
inline constexpr int kArchiveMeterIdBase = 1052;
inline constexpr int kForecastLabelIdBase = 1060;

} // namespace vistrel
