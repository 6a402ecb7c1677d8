// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace vistrel {

// What the tray asks of the desktop it runs on. User-interface thread; each
// answer may block briefly (a session-bus call, a settings tool), so callers
// ask once and only when the answer matters.

// False where the icon goes through a StatusNotifierItem host (KDE Plasma,
// GNOME with the AppIndicator extension): Qt takes that road whenever such a
// host is registered on the session bus, and those hosts report a click as
// a single activation, never as a double click.
bool TrayReportsDoubleClicks();

// The desktop's own switch for animations where it has one: KDE's
// AnimationDurationFactor of 0 in kdeglobals, GNOME's enable-animations.
// True where the desktop has no such setting.
bool DesktopAnimationsEnabled();

} // namespace vistrel
