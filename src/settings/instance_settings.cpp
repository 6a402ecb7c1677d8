// SPDX-License-Identifier: GPL-3.0-or-later
#include "settings/instance_settings.h"

namespace vistrel {

InstanceSettings& InstanceSettings::Instance()
{
    static InstanceSettings settings;
    return settings;
}

InstanceSettings::InstanceSettings()
{
    OverlayText.fill("%t %w %d");
    OverlayFont.fill(DefaultOverlayFont());
    HORZ.fill("CENTER");
    VERT.fill("CENTER");
    TextColor.fill(0x000000);
    BackgroundColor.fill(0xFFFFFF);
    Rotation.fill("0");
    JpegQuality.fill(75);
    Minutes.fill(5);
    TriggerLevel.fill(10);
    SaveCount.fill(5);
}

OverlaySettings InstanceSettings::Overlay(int camera) const
{
    OverlaySettings overlay;
    overlay.text = OverlayText[camera];
    overlay.font = OverlayFont[camera];
    overlay.horz = HORZ[camera];
    overlay.vert = VERT[camera];
    overlay.textColor = TextColor[camera];
    overlay.backgroundColor = BackgroundColor[camera];
    overlay.effect = OverlayEffect[camera];
    overlay.enabled = EnableOverlay[camera] != 0;
    return overlay;
}

} // namespace vistrel
