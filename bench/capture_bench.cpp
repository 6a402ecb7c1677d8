// SPDX-License-Identifier: GPL-3.0-or-later
// Capture costs against bare baselines in the same run:
//  - GrabFrame (a new copy of the latest frame) against a plain memcpy of its bytes;
//  - YUYV to bottom-up BGR / RGB555 against libyuv's own whole-frame conversion
//    (this libyuv has no YUY2ToRGB24, so its way is YUY2ToARGB then ARGBToRGB24);
//  - MJPEG decoding straight to bottom-up BGR against a bare libjpeg-turbo decode.
#include "capture/dxvideo.h"
#include "capture/frame_convert.h"
#include "capture/test_pattern.h"
#include "support/bare_jpeg.h"

#include <libyuv.h>

#include <jpeglib.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using namespace vistrel;

class NullReporter : public IMessageReporter {
public:
    void ShowMessage(const std::string&, const std::string&, MessageIcon) override {}
};

void BM_GrabFrame(benchmark::State& state)
{
    const int width = int(state.range(0)), height = int(state.range(1));
    NullReporter reporter;
    CDXVideo video(reporter, std::make_unique<TestPatternBackend>());
    const std::string format = std::to_string(width) + "x" + std::to_string(height) + " 24 bit";
    if (video.StartCapture(0, nullptr, format) != 0) {
        state.SkipWithError("the test-pattern device did not start");
        return;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!video.GrabFrame() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    size_t bytes = 0;
    for (auto _ : state) {
        auto frame = video.GrabFrame();
        benchmark::DoNotOptimize(frame.get());
        bytes = frame ? frame->size() : 0;
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
}
BENCHMARK(BM_GrabFrame)->Args({640, 480})->Args({1920, 1080})->Unit(benchmark::kMicrosecond);

void BM_MemcpyBaseline(benchmark::State& state)
{
    const size_t bytes = size_t(state.range(0)) * size_t(state.range(1)) * 3;
    std::vector<uint8_t> source(bytes, 0x5A), target(bytes);
    for (auto _ : state) {
        std::memcpy(target.data(), source.data(), bytes);
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
}
BENCHMARK(BM_MemcpyBaseline)->Args({640, 480})->Args({1920, 1080})->Unit(benchmark::kMicrosecond);

// A YUYV picture with detail in it (a gradient with a ripple).
std::vector<uint8_t> YuyvPicture(int width, int height)
{
    std::vector<uint8_t> yuyv(size_t(width) * size_t(height) * 2);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            uint8_t* p = &yuyv[(size_t(y) * size_t(width) + size_t(x)) * 2];
            p[0] = uint8_t(16 + (x + y) % 220);
            p[1] = uint8_t(x % 2 ? 128 + (y % 64) : 128 - (x % 64));
        }
    return yuyv;
}

void BM_ConvertYuyv(benchmark::State& state)
{
    const int width = int(state.range(0)), height = int(state.range(1)), bits = int(state.range(2));
    const auto yuyv = YuyvPicture(width, height);
    std::vector<uint8_t> out(size_t(width) * size_t(height) * size_t(bits / 8));
    for (auto _ : state) {
        ConvertYuyv(yuyv.data(), width * 2, width, height, out.data(), bits);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * width * height);
}
BENCHMARK(BM_ConvertYuyv)
    ->Args({640, 480, 24})
    ->Args({1920, 1080, 24})
    ->Args({640, 480, 16})
    ->Args({1920, 1080, 16})
    ->Unit(benchmark::kMicrosecond);

void BM_LibyuvYuyvBaseline(benchmark::State& state)
{
    const int width = int(state.range(0)), height = int(state.range(1)), bits = int(state.range(2));
    const auto yuyv = YuyvPicture(width, height);
    std::vector<uint8_t> argb(size_t(width) * size_t(height) * 4);
    std::vector<uint8_t> out(size_t(width) * size_t(height) * size_t(bits / 8));
    const int outStride = width * (bits / 8);
    for (auto _ : state) {
        libyuv::YUY2ToARGB(yuyv.data(), width * 2, argb.data(), width * 4, width, height);
        // Negative height: rows come out bottom-up.
        if (bits == 24)
            libyuv::ARGBToRGB24(argb.data(), width * 4, out.data(), outStride, width, -height);
        else
            libyuv::ARGBToARGB1555(argb.data(), width * 4, out.data(), outStride, width, -height);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * width * height);
}
BENCHMARK(BM_LibyuvYuyvBaseline)
    ->Args({640, 480, 24})
    ->Args({1920, 1080, 24})
    ->Args({640, 480, 16})
    ->Args({1920, 1080, 16})
    ->Unit(benchmark::kMicrosecond);

// A webcam-like MJPEG frame: 4:2:2, quality 85, with detail in it.
std::vector<uint8_t> MjpegFrame(int width, int height)
{
    std::vector<uint8_t> row(size_t(width) * 3);
    const auto rowAt = [&](int y) {
        for (int x = 0; x < width; ++x) {
            row[size_t(x) * 3] = uint8_t(x * 255 / width);
            row[size_t(x) * 3 + 1] = uint8_t(y * 255 / height);
            row[size_t(x) * 3 + 2] = uint8_t(((x / 8 + y / 8) % 2) * 120 + (x * y) % 61);
        }
        return row.data();
    };
    return test::BareEncodeToMemory({ width, height, 85, JCS_RGB, true }, rowAt);
}

void BM_DecodeMjpeg(benchmark::State& state)
{
    const int width = int(state.range(0)), height = int(state.range(1));
    const auto jpeg = MjpegFrame(width, height);
    std::vector<uint8_t> out(size_t(width) * size_t(height) * 3);
    for (auto _ : state) {
        if (!DecodeJpegToBgr(jpeg.data(), jpeg.size(), width, height, out.data()))
            state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_DecodeMjpeg)->Args({640, 480})->Args({1920, 1080})->Unit(benchmark::kMicrosecond);

void BM_BareLibjpegBaseline(benchmark::State& state)
{
    const int width = int(state.range(0)), height = int(state.range(1));
    const auto jpeg = MjpegFrame(width, height);
    std::vector<uint8_t> out(size_t(width) * size_t(height) * 3);
    for (auto _ : state) {
        jpeg_decompress_struct info;
        jpeg_error_mgr error;
        info.err = jpeg_std_error(&error);
        jpeg_create_decompress(&info);
        jpeg_mem_src(&info, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
        jpeg_read_header(&info, TRUE);
        info.out_color_space = JCS_RGB;
        jpeg_start_decompress(&info);
        while (info.output_scanline < info.output_height) {
            JSAMPROW row = out.data() + size_t(info.output_scanline) * size_t(width) * 3;
            jpeg_read_scanlines(&info, &row, 1);
        }
        jpeg_finish_decompress(&info);
        jpeg_destroy_decompress(&info);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_BareLibjpegBaseline)->Args({640, 480})->Args({1920, 1080})->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
