// SPDX-License-Identifier: GPL-3.0-or-later
// The overlay and the pane's painting against bare baselines in the same run:
// DrawOverlay against a memcpy and a JPEG save of the same 1920x1080 frame,
// and the pane's mirrored stretch against flipping the frame first.

#include "display/picture_box.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDir>
#include <QPainter>

#include <cstring>
#include <memory>
#include <vector>

namespace {

using vistrel::Frame;
using vistrel::OverlaySettings;

std::unique_ptr<Frame> noiseFrame(int width, int height, int bits)
{
    auto frame = Frame::Create(width, height, bits);
    uint32_t seed = 12345;
    for (size_t i = 0; i < frame->size(); ++i) {
        seed = seed * 1664525u + 1013904223u;
        frame->data()[i] = uint8_t(seed >> 24);
    }
    return frame;
}

OverlaySettings overlay(int effect)
{
    OverlaySettings settings; // "%t %w %d", the default font
    settings.enabled = true;
    settings.effect = effect;
    settings.horz = "RIGHT";
    settings.vert = "BOTTOM";
    return settings;
}

void BM_Memcpy1080p(benchmark::State& state)
{
    const auto frame = noiseFrame(1920, 1080, 24);
    std::vector<uint8_t> copy(frame->size());
    for (auto _ : state) {
        std::memcpy(copy.data(), frame->data(), frame->size());
        benchmark::DoNotOptimize(copy.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(frame->size()));
}
BENCHMARK(BM_Memcpy1080p);

// Arg: the effect (0 Solid, 1 Transparent, 2 Shadow, 3 Outline).
void BM_DrawOverlay1080p(benchmark::State& state)
{
    vistrel::CPictureBoxEx pane;
    pane.SetOverlaySettings(overlay(int(state.range(0))));
    auto frame = noiseFrame(1920, 1080, 24);
    for (auto _ : state) {
        pane.DrawOverlay(*frame);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_DrawOverlay1080p)->Arg(0)->Arg(1)->Arg(2)->Arg(3)->Unit(benchmark::kMicrosecond);

void BM_DrawOverlayGrey1080p(benchmark::State& state)
{
    vistrel::CPictureBoxEx pane;
    pane.SetOverlaySettings(overlay(3));
    auto frame = noiseFrame(1920, 1080, 8);
    for (auto _ : state) {
        pane.DrawOverlay(*frame);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_DrawOverlayGrey1080p)->Unit(benchmark::kMicrosecond);

void BM_SaveJpeg1080p(benchmark::State& state)
{
    vistrel::CPictureBoxEx pane;
    pane.SetImage(noiseFrame(1920, 1080, 24), false);
    const std::string path = (QDir::tempPath() + "/display_bench.jpg").toStdString();
    for (auto _ : state)
        benchmark::DoNotOptimize(pane.SaveJpeg(path, 75));
    QFile::remove(QString::fromStdString(path));
}
BENCHMARK(BM_SaveJpeg1080p)->Unit(benchmark::kMillisecond);

// Painting a frame over a pane of the single view (frame size + 2). Args:
// frame width, frame height.
void BM_PanePaint(benchmark::State& state)
{
    const int width = int(state.range(0)), height = int(state.range(1));
    vistrel::CPictureBoxEx pane;
    pane.resize(width + 2, height + 2);
    pane.SetImage(noiseFrame(width, height, 24), false);
    QImage target(pane.size(), QImage::Format_RGB32);
    for (auto _ : state)
        pane.render(&target);
}
BENCHMARK(BM_PanePaint)->Args({ 640, 480 })->Args({ 1920, 1080 })->Unit(benchmark::kMicrosecond);

// Baseline for BM_PanePaint: flip and convert the frame to the screen's
// format first, then stretch it with Qt's fast 32-bit path.
void BM_PanePaintConvertFirst(benchmark::State& state)
{
    const int width = int(state.range(0)), height = int(state.range(1));
    const auto frame = noiseFrame(width, height, 24);
    QImage target(width + 2, height + 2, QImage::Format_RGB32);
    for (auto _ : state) {
        const QImage view = vistrel::StoredRowsImage(*frame);
        const QImage upright = view.convertToFormat(QImage::Format_RGB32).mirrored();
        QPainter painter(&target);
        painter.drawImage(target.rect(), upright);
    }
}
BENCHMARK(BM_PanePaintConvertFirst)->Args({ 640, 480 })->Args({ 1920, 1080 })->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
