// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QIcon>

namespace vistrel {

// Resource ids of the program's icon and dialog templates.
inline constexpr int kApplicationIconId = 128;
inline constexpr int kSetupWindowTemplateId = 130;

// Registers the compiled-in resources; call once before using them (a static
// library's resources are not registered on their own).
void InitResources();

// The application icon (resource 128): a camera with a red recording light.
QIcon ApplicationIcon();

} // namespace vistrel
