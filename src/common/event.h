// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vistrel {

// What happened: motion on a camera, a camera lost until it is back, saving
// failing until it works again, the storage floor deleting beyond the
// retention, and the recorder itself from start to exit.
enum class EventType { Motion, CameraLost, RecordingFault, StorageFloor, Recorder };

// The moments an event begins or ends, as hooks and listeners name them.
enum class EdgeKind {
    MotionStart,
    MotionEnd,
    CameraLost,
    CameraBack,
    FaultStart,
    FaultEnd,
    FloorStart,
    FloorEnd,
    RecorderStart,
    RecorderExit,
};
inline constexpr int kEdgeKindCount = 10;

// "motion", "camera_lost", "recording_fault", "storage_floor", "recorder".
std::string_view EventTypeName(EventType type);
std::optional<EventType> ParseEventType(std::string_view name);
// "motion-start", "motion-end", "camera-lost", ... "recorder-exit".
std::string_view EdgeName(EdgeKind edge);
std::optional<EdgeKind> ParseEdgeName(std::string_view name);
EventType TypeOfEdge(EdgeKind edge);
// True for the edge that opens an event, false for the one that closes it.
bool IsStartEdge(EdgeKind edge);

// No camera: the recorder's own events.
inline constexpr char kNoCamera = 0;

// One event as the log keeps it. Times are seconds since 1970.
struct Event {
    int64_t id = 0; // 0 until the log has it (or when there is no log)
    EventType type = EventType::Motion;
    char camera = kNoCamera; // 'A'..'H'
    int64_t start = 0;
    std::optional<int64_t> end; // none while the event is open
    int peak = 0;               // highest motion level seen
    std::string firstImage;     // archive images saved during the event
    std::string lastImage;
    std::string reason; // why a fault began (the red meter's text)

    friend bool operator==(const Event&, const Event&) = default;
};

// The one JSON form of an event: {"id", "type", "camera", "start", "end",
// "peak", "first_image", "last_image", "reason"}, on one line. "camera" and
// "end" are null where there is none.
std::string EventJson(const Event& event);

// `text` as a JSON string, quotes included. Any bytes give valid JSON:
// control characters are escaped, and bytes that are not UTF-8 become
// U+FFFD, since JSON can only carry Unicode text.
std::string JsonString(std::string_view text);

// An edge as the part that saw it reports it. For an end edge, `time` is
// when the event ended and the images and level are those of the whole
// event; the hub joins it to the open event of its type and camera.
struct EventEdge {
    EdgeKind kind = EdgeKind::MotionStart;
    char camera = kNoCamera;
    int64_t time = 0;
    int level = 0;
    std::string firstImage;
    std::string lastImage;
    std::string reason;

    friend bool operator==(const EventEdge&, const EventEdge&) = default;
};

// Where the image thread, the archive worker and the application post the
// edges they see. Implementations take any thread and never block the
// caller: no lock is held across I/O, the queue is bounded, and an edge that
// finds it full is dropped and counted.
class IEventSink {
public:
    virtual ~IEventSink() = default;
    // False when the edge was dropped.
    virtual bool Post(EventEdge edge) = 0;
};

} // namespace vistrel
