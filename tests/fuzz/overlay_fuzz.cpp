// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/logfont.h"
#include "display/overlay.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <QGuiApplication>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

using namespace vistrel;

// Overlay templates and fonts are the user's choice: any text, clock value,
// font record, effect, alignment and picture must expand and draw without
// harm. Text without a percent sign expands to itself, a disabled overlay
// leaves every byte, and drawing never changes the picture's size.
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QGuiApplication app(*argc, *argv); // fonts need one; it lives for the whole run
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider input(data, size);
    const auto seconds = input.ConsumeIntegral<int64_t>();
    static const int kDepths[] = { 8, 16, 24, 32 };
    const int bitCount = input.PickValueInArray(kDepths);
    const int width = input.ConsumeIntegralInRange(1, 400);
    const int height = input.ConsumeIntegralInRange(1, 300);
    static const char* const kHorizontal[] = { "LEFT", "CENTER", "RIGHT", "center", "" };
    static const char* const kVertical[] = { "TOP", "CENTER", "BOTTOM", "bottom", "" };

    OverlaySettings settings;
    settings.horz = input.PickValueInArray(kHorizontal);
    settings.vert = input.PickValueInArray(kVertical);
    settings.effect = input.ConsumeIntegralInRange(-2, 5);
    settings.textColor = input.ConsumeIntegral<uint32_t>() & 0xFFFFFF;
    settings.backgroundColor = input.ConsumeIntegral<uint32_t>() & 0xFFFFFF;
    settings.enabled = input.ConsumeBool();
    LOGFONTA font = DefaultOverlayFont();
    font.lfHeight = input.ConsumeIntegral<int32_t>(); // huge and negative heights included
    font.lfWeight = input.ConsumeIntegral<int32_t>();
    font.lfItalic = input.ConsumeIntegral<uint8_t>();
    font.lfUnderline = input.ConsumeIntegral<uint8_t>();
    const std::string face = input.ConsumeRandomLengthString(40);
    std::memcpy(font.lfFaceName, face.data(), std::min(face.size(), sizeof font.lfFaceName));
    settings.font = font;
    settings.text = input.ConsumeRemainingBytesAsString();

    const std::string expanded = ExpandOverlayText(settings.text, std::time_t(seconds));
    if (settings.text.find('%') == std::string::npos && expanded != settings.text)
        std::abort();

    auto frame = Frame::Create(width, height, bitCount);
    for (size_t i = 0; i < frame->size(); ++i)
        frame->data()[i] = uint8_t(i * 31);
    const auto before = frame->Clone();
    OverlayRenderer renderer;
    renderer.setSettings(settings);
    renderer.draw(*frame, std::time_t(seconds));
    if (frame->size() != before->size() || frame->width() != width || frame->height() != height)
        std::abort();
    if (!settings.enabled && std::memcmp(frame->data(), before->data(), frame->size()) != 0)
        std::abort();
    return 0;
}
