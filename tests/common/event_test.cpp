// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/event.h"

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>

namespace vistrel {
namespace {

// Valid JSON and valid UTF-8 whatever bytes a path holds: nothing raw below
// 0x20, and the text survives a strict round trip through UTF-16.
void ExpectCleanJson(const std::string& json)
{
    for (const char c : json)
        EXPECT_GE(static_cast<unsigned char>(c), 0x20) << json;
    EXPECT_EQ(QString::fromUtf8(json.data(), qsizetype(json.size())).toUtf8().toStdString(), json);
    QJsonParseError error;
    QJsonDocument::fromJson(QByteArray::fromStdString("[" + json + "]"), &error);
    EXPECT_EQ(error.error, QJsonParseError::NoError) << json;
}

TEST(EventJson, GivesOneValidFormForAnyBytes)
{
    Event event;
    event.id = 12;
    event.type = EventType::RecordingFault;
    event.camera = 'C';
    event.start = 1800000000;
    event.peak = 0;
    event.firstImage = "/a \"b\" \\c\n\t\x01\x1f/\xff\xfe/caf\xc3\xa9/\xe2\x82\xac/\xf0\x9f\x93\xb7.jpg";
    event.reason = "cannot save: \"No space\"";
    const std::string json = EventJson(event);
    ExpectCleanJson(json);
    const QJsonObject object = QJsonDocument::fromJson(QByteArray::fromStdString(json)).object();
    EXPECT_EQ(object.keys(), (QStringList{"camera", "end", "first_image", "id", "last_image", "peak", "reason",
                                          "start", "type"}));
    EXPECT_EQ(object.value("id").toInteger(), 12);
    EXPECT_EQ(object.value("type").toString(), "recording_fault");
    EXPECT_EQ(object.value("camera").toString(), "C");
    EXPECT_EQ(object.value("start").toInteger(), 1800000000);
    EXPECT_TRUE(object.value("end").isNull());
    EXPECT_EQ(object.value("first_image").toString(),
              QString::fromUtf8("/a \"b\" \\c\n\t\x01\x1f/\xef\xbf\xbd\xef\xbf\xbd/caf\xc3\xa9/\xe2\x82\xac/"
                                "\xf0\x9f\x93\xb7.jpg"));
    EXPECT_EQ(object.value("reason").toString(), "cannot save: \"No space\"");

    event.type = EventType::Recorder;
    event.camera = kNoCamera;
    event.end = 1800000060;
    const QJsonObject recorder = QJsonDocument::fromJson(QByteArray::fromStdString(EventJson(event))).object();
    EXPECT_TRUE(recorder.value("camera").isNull());
    EXPECT_EQ(recorder.value("end").toInteger(), 1800000060);

    // What is not UTF-8 becomes U+FFFD, one per byte: overlong forms,
    // surrogates, values past U+10FFFF, cut-off and stray bytes.
    const struct {
        const char* bytes;
        const char* text;
    } cases[] = {
        {"\xc0\xaf", "\"\\ufffd\\ufffd\""},
        {"\xe0\x80\xaf", "\"\\ufffd\\ufffd\\ufffd\""},
        {"\xed\xa0\x80", "\"\\ufffd\\ufffd\\ufffd\""},
        {"\xf4\x90\x80\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\""},
        {"a\xe2\x82", "\"a\\ufffd\\ufffd\""},
        {"\x80z", "\"\\ufffdz\""},
        {"\xf4\x8f\xbf\xbf", "\"\xf4\x8f\xbf\xbf\""},
        {"\x7f", "\"\x7f\""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(JsonString(c.bytes), c.text);
        ExpectCleanJson(JsonString(c.bytes));
    }
}

TEST(EventNames, PairEachEdgeWithItsType)
{
    const struct {
        EdgeKind start, end;
        EventType type;
        const char* typeName;
    } pairs[] = {
        {EdgeKind::MotionStart, EdgeKind::MotionEnd, EventType::Motion, "motion"},
        {EdgeKind::CameraLost, EdgeKind::CameraBack, EventType::CameraLost, "camera_lost"},
        {EdgeKind::FaultStart, EdgeKind::FaultEnd, EventType::RecordingFault, "recording_fault"},
        {EdgeKind::FloorStart, EdgeKind::FloorEnd, EventType::StorageFloor, "storage_floor"},
        {EdgeKind::RecorderStart, EdgeKind::RecorderExit, EventType::Recorder, "recorder"},
    };
    std::vector<std::string> names;
    for (const auto& p : pairs) {
        EXPECT_TRUE(IsStartEdge(p.start));
        EXPECT_FALSE(IsStartEdge(p.end));
        EXPECT_EQ(TypeOfEdge(p.start), p.type);
        EXPECT_EQ(TypeOfEdge(p.end), p.type);
        EXPECT_EQ(EventTypeName(p.type), p.typeName);
        EXPECT_EQ(ParseEventType(p.typeName), p.type);
        for (const EdgeKind edge : {p.start, p.end}) {
            names.emplace_back(EdgeName(edge));
            EXPECT_EQ(ParseEdgeName(EdgeName(edge)), edge);
        }
    }
    EXPECT_EQ(names, (std::vector<std::string>{"motion-start", "motion-end", "camera-lost", "camera-back",
                                               "fault-start", "fault-end", "floor-start", "floor-end",
                                               "recorder-start", "recorder-exit"}));
    EXPECT_FALSE(ParseEdgeName("motion"));
    EXPECT_FALSE(ParseEventType("Motion"));
}

} // namespace
} // namespace vistrel
