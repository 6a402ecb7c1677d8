// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/event.h"

#include "common/text_format.h"

#include <array>

namespace vistrel {

namespace {

constexpr std::array<std::string_view, 5> kTypeNames{"motion", "camera_lost", "recording_fault", "storage_floor",
                                                     "recorder"};
constexpr std::array<std::string_view, kEdgeKindCount> kEdgeNames{
    "motion-start", "motion-end", "camera-lost", "camera-back",    "fault-start",
    "fault-end",    "floor-start", "floor-end",  "recorder-start", "recorder-exit",
};

// Length of the well-formed UTF-8 sequence at text[at], or 0 when the bytes
// there are not one (overlong forms, surrogates and values past U+10FFFF
// included).
size_t Utf8Length(std::string_view text, size_t at)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF; // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0)
            low = 0xA0;
        else if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (at + length > text.size())
        return 0;
    if (byte(at + 1) < low || byte(at + 1) > high)
        return 0;
    for (size_t i = 2; i < length; ++i)
        if (byte(at + i) < 0x80 || byte(at + i) > 0xBF)
            return 0;
    return length;
}

} // namespace

std::string_view EventTypeName(EventType type)
{
    return kTypeNames[size_t(type)];
}

std::optional<EventType> ParseEventType(std::string_view name)
{
    for (size_t i = 0; i < kTypeNames.size(); ++i)
        if (kTypeNames[i] == name)
            return EventType(i);
    return std::nullopt;
}

std::string_view EdgeName(EdgeKind edge)
{
    return kEdgeNames[size_t(edge)];
}

std::optional<EdgeKind> ParseEdgeName(std::string_view name)
{
    for (size_t i = 0; i < kEdgeNames.size(); ++i)
        if (kEdgeNames[i] == name)
            return EdgeKind(i);
    return std::nullopt;
}

// The edges come in pairs, in the order of the types.
EventType TypeOfEdge(EdgeKind edge)
{
    return EventType(int(edge) / 2);
}

bool IsStartEdge(EdgeKind edge)
{
    return int(edge) % 2 == 0;
}

std::string JsonString(std::string_view text)
{
    std::string json;
    json.reserve(text.size() + 2);
    json += '"';
    size_t at = 0;
    while (at < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[at]);
        if (c < 0x80) {
            switch (c) {
            case '"': json += "\\\""; break;
            case '\\': json += "\\\\"; break;
            case '\b': json += "\\b"; break;
            case '\f': json += "\\f"; break;
            case '\n': json += "\\n"; break;
            case '\r': json += "\\r"; break;
            case '\t': json += "\\t"; break;
            default:
                if (c < 0x20)
                    json += StringPrintf("\\u%04x", c);
                else
                    json += char(c);
            }
            ++at;
            continue;
        }
        const size_t length = Utf8Length(text, at);
        if (length == 0) {
            json += "\\ufffd";
            ++at;
        } else {
            json.append(text.substr(at, length));
            at += length;
        }
    }
    json += '"';
    return json;
}

std::string EventJson(const Event& event)
{
    std::string json = "{\"id\":" + std::to_string(event.id);
    json += ",\"type\":" + JsonString(EventTypeName(event.type));
    json += ",\"camera\":";
    json += event.camera == kNoCamera ? std::string("null") : JsonString(std::string_view(&event.camera, 1));
    json += ",\"start\":" + std::to_string(event.start);
    json += ",\"end\":" + (event.end ? std::to_string(*event.end) : std::string("null"));
    json += ",\"peak\":" + std::to_string(event.peak);
    json += ",\"first_image\":" + JsonString(event.firstImage);
    json += ",\"last_image\":" + JsonString(event.lastImage);
    json += ",\"reason\":" + JsonString(event.reason);
    json += '}';
    return json;
}

} // namespace vistrel
