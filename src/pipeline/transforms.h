// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/frame.h"

#include <string>

namespace vistrel {

// Rotations and flips of a camera's frame, applied on the image thread before
// anything else looks at it. They work in place (the buffer keeps its address
// and size), address stored rows as exactly width x bytes-per-pixel long, and
// leave a frame unchanged when its buffer is missing or smaller than width x
// height pixels, or its depth is not 8, 16, 24 or 32 bits.

// 90 turns the displayed picture a quarter turn clockwise, 270 counter-
// clockwise, 180 a half turn; 90 and 270 swap the header's width and height.
// Any other value changes nothing.
void Rotate(Frame& frame, int degrees);
// The angle of a rotation setting, read as its leading integer ("270 degrees"
// gives 270); 0 for a negative angle or no number. The image thread and the
// main window's layout read it alike.
int RotationDegrees(const std::string& text);
// Mirrors every row.
void FlipHorizontal(Frame& frame);
// Reverses the order of the rows.
void FlipVertical(Frame& frame);

} // namespace vistrel
