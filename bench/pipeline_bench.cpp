// SPDX-License-Identifier: GPL-3.0-or-later
// The frame pipeline against bare baselines over the same bytes: motion
// measurement against one vectorised read pass, the transforms against a
// memcpy of the frame, SaveJpeg against a plain libjpeg-turbo encode.

#include "pipeline/jpeg.h"
#include "pipeline/motion.h"
#include "pipeline/transforms.h"
#include "support/bare_jpeg.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include <jpeglib.h>

namespace {

using vistrel::Frame;

// A camera-like 24-bit picture: smooth gradients with some noise.
std::unique_ptr<Frame> CameraFrame(int width, int height, int bitCount = 24)
{
    auto frame = Frame::Create(width, height, bitCount);
    uint32_t seed = 12345;
    const int bytes = bitCount / 8;
    for (int y = 0; y < height; ++y) {
        uint8_t* row = frame->data() + size_t(y) * width * bytes;
        for (int x = 0; x < width * bytes; ++x) {
            seed = seed * 1103515245u + 12345u;
            row[x] = uint8_t((x / bytes * 255 / width + y * 255 / height) / 2 + (seed >> 28));
        }
    }
    return frame;
}

// One folder for the files the JPEG benchmarks write.
const std::string& BenchFolder()
{
    static const std::string folder = [] {
        char pattern[] = "/tmp/vistrel-bench-XXXXXX";
        const char* made = ::mkdtemp(pattern);
        return std::string(made ? made : "/tmp");
    }();
    return folder;
}

void SetBytes(benchmark::State& state, const Frame& frame)
{
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(frame.size()));
}

// ---- Motion ----------------------------------------------------------------

void BM_MeasureMotion(benchmark::State& state)
{
    auto frame = CameraFrame(int(state.range(0)), int(state.range(1)));
    vistrel::MotionState motion;
    for (auto _ : state)
        benchmark::DoNotOptimize(vistrel::MeasureMotion(motion, *frame, 10));
    SetBytes(state, *frame);
}

// Baseline: the sum of every byte, in lanes the compiler vectorises.
void BM_ReadPassBaseline(benchmark::State& state)
{
    auto frame = CameraFrame(int(state.range(0)), int(state.range(1)));
    for (auto _ : state) {
        const uint8_t* p = frame->data();
        const size_t size = frame->size();
        uint32_t lanes[32] = {};
        size_t i = 0;
        for (; i + 32 <= size; i += 32)
            for (int j = 0; j < 32; ++j)
                lanes[j] += p[i + j];
        uint64_t sum = 0;
        for (uint32_t lane : lanes)
            sum += lane;
        for (; i < size; ++i)
            sum += p[i];
        benchmark::DoNotOptimize(sum);
    }
    SetBytes(state, *frame);
}

// ---- Transforms ------------------------------------------------------------

void BM_Rotate90(benchmark::State& state)
{
    auto frame = CameraFrame(int(state.range(0)), int(state.range(1)));
    for (auto _ : state) {
        vistrel::Rotate(*frame, 90);
        benchmark::ClobberMemory();
    }
    SetBytes(state, *frame);
}

void BM_FlipHorizontal(benchmark::State& state)
{
    auto frame = CameraFrame(int(state.range(0)), int(state.range(1)));
    for (auto _ : state) {
        vistrel::FlipHorizontal(*frame);
        benchmark::ClobberMemory();
    }
    SetBytes(state, *frame);
}

void BM_FlipVertical(benchmark::State& state)
{
    auto frame = CameraFrame(int(state.range(0)), int(state.range(1)));
    for (auto _ : state) {
        vistrel::FlipVertical(*frame);
        benchmark::ClobberMemory();
    }
    SetBytes(state, *frame);
}

// Baseline: one copy of the frame into another buffer.
void BM_MemcpyBaseline(benchmark::State& state)
{
    auto frame = CameraFrame(int(state.range(0)), int(state.range(1)));
    std::vector<uint8_t> copy(frame->size());
    for (auto _ : state) {
        std::memcpy(copy.data(), frame->data(), frame->size());
        benchmark::ClobberMemory();
    }
    SetBytes(state, *frame);
}

// ---- JPEG ------------------------------------------------------------------

void BM_SaveJpeg(benchmark::State& state)
{
    auto frame = CameraFrame(int(state.range(0)), int(state.range(1)));
    const std::string path = BenchFolder() + "/Cam1A.jpg";
    for (auto _ : state) {
        if (!vistrel::SaveJpeg(*frame, path, 75))
            state.SkipWithError("SaveJpeg failed");
    }
    SetBytes(state, *frame);
}

// Baseline: libjpeg-turbo fed the bottom-up BGR rows, straight into the file.
void BM_BareEncodeBaseline(benchmark::State& state)
{
    auto frame = CameraFrame(int(state.range(0)), int(state.range(1)));
    const std::string path = BenchFolder() + "/bare.jpg";
    const int width = frame->width(), height = frame->height();
    const vistrel::test::BareJpeg jpeg { width, height, 75, JCS_EXT_BGR };
    for (auto _ : state) {
        if (!vistrel::test::BareEncodeToFile(path, jpeg, vistrel::test::BottomUpRows(frame->data(), width, height)))
            state.SkipWithError("cannot write the file");
    }
    SetBytes(state, *frame);
}

// The encode alone, without the file: our EncodeJpeg against libjpeg-turbo
// writing the same rows to memory.
void BM_EncodeJpeg(benchmark::State& state)
{
    auto frame = CameraFrame(int(state.range(0)), int(state.range(1)));
    std::vector<uint8_t> bytes;
    for (auto _ : state) {
        if (!vistrel::EncodeJpeg(*frame, 75, bytes))
            state.SkipWithError("EncodeJpeg failed");
        benchmark::DoNotOptimize(bytes.data());
    }
    SetBytes(state, *frame);
}

void BM_BareEncodeToMemoryBaseline(benchmark::State& state)
{
    auto frame = CameraFrame(int(state.range(0)), int(state.range(1)));
    const int width = frame->width(), height = frame->height();
    const vistrel::test::BareJpeg jpeg { width, height, 75, JCS_EXT_BGR };
    for (auto _ : state) {
        const auto bytes = vistrel::test::BareEncodeToMemory(jpeg, vistrel::test::BottomUpRows(frame->data(), width, height));
        benchmark::DoNotOptimize(bytes.data());
    }
    SetBytes(state, *frame);
}

void Sizes(benchmark::internal::Benchmark* b)
{
    b->Args({ 320, 240 })->Args({ 640, 480 })->Args({ 1920, 1080 })->Unit(benchmark::kMicrosecond);
}

BENCHMARK(BM_ReadPassBaseline)->Apply(Sizes);
BENCHMARK(BM_MeasureMotion)->Apply(Sizes);
BENCHMARK(BM_MemcpyBaseline)->Apply(Sizes);
BENCHMARK(BM_Rotate90)->Apply(Sizes);
BENCHMARK(BM_FlipHorizontal)->Apply(Sizes);
BENCHMARK(BM_FlipVertical)->Apply(Sizes);
BENCHMARK(BM_BareEncodeBaseline)->Apply(Sizes);
BENCHMARK(BM_SaveJpeg)->Apply(Sizes);
BENCHMARK(BM_BareEncodeToMemoryBaseline)->Apply(Sizes);
BENCHMARK(BM_EncodeJpeg)->Apply(Sizes);

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (const char* name : { "/Cam1A.jpg", "/bare.jpg" })
        std::remove((BenchFolder() + name).c_str());
    ::rmdir(BenchFolder().c_str());
    return 0;
}
