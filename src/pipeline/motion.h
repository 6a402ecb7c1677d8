// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/frame.h"

#include <cstdint>
#include <vector>

namespace vistrel {

// One camera's motion reference: the 100 block means of its previous frame,
// each packed as red | green << 8 | blue << 16, and the blocks whose change
// exceeded the trigger in the latest measurement (index = column * 10 + row,
// rows counted from the top of the picture). Owned and used by the image thread.
struct MotionState {
    std::vector<uint32_t> reference;
    std::vector<uint32_t> MotionBlocks;
};

// Compares the frame's 10 x 10 block means with the reference and returns the
// largest block change (0..255); rebuilds MotionBlocks with the blocks whose
// change is above `triggerLevel` and makes the frame the new reference.
// A frame with less than one pixel per block (narrower or lower than 10
// pixels) or whose buffer is too small measures 0, flags nothing and leaves
// the reference as it was, so the next proper frame is compared with the last
// proper one.
int MeasureMotion(MotionState& state, const Frame& frame, int triggerLevel);

} // namespace vistrel
