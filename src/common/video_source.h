// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/frame.h"

#include <memory>

namespace vistrel {

// What the image thread needs of the capture side: the capture object and the
// input list of the Video Device Setup window. Implemented by the setup
// window; every method may be called from the image thread and must not
// block on the user-interface thread.
class IVideoSource {
public:
    virtual ~IVideoSource() = default;
    virtual bool IsRunning() = 0;
    // A copy of the latest frame, or null when none is available.
    virtual std::unique_ptr<Frame> GrabFrame() = 0;
    // Number of video inputs of the running device; -1 without capture or crossbar.
    virtual int ListInputs() = 0;
    // -1 no capture; 0 the input cannot be routed; 1 route requested.
    virtual int SelectInput(int input) = 0;
    // The "Input Pins" list (control 1003) of the setup window.
    virtual void SetInputListEnabled(bool enabled) = 0;
    // Selected position of that list, -1 when nothing is selected.
    virtual int InputListSelection() = 0;
    // How often frames are grabbed from now on (the save interval, or the
    // multiplexer speed while multiplexing), so a device that decodes a
    // compressed stream can skip what no grab takes.
    virtual void SetGrabIntervalMs(int /*intervalMs*/) {}
};

} // namespace vistrel
