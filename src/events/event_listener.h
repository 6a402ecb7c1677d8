// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "common/event.h"

namespace vistrel {

// What the event hub tells of each edge: the hook runner, the MQTT publisher
// and the desktop notifier. Called on the hub's thread, one edge at a time,
// with the event as the log has it after the edge (an end edge's event has
// its end). Implementations hand the work on and return: they must not wait
// for a process, the network or the user interface.
class IEventListener {
public:
    virtual ~IEventListener() = default;
    virtual void OnEdge(const EventEdge& edge, const Event& event) = 0;
};

} // namespace vistrel
