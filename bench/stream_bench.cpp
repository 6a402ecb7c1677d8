// SPDX-License-Identifier: GPL-3.0-or-later
// A network camera's cost: CPU seconds per second of a 1920x1080 H.264
// RTSP stream at 25 frames a second with a key frame every second (High
// profile, 4 Mbit/s, one slice a picture, as cameras send it; encoded live
// by GStreamer on loopback), grabbed once a second, against a bare
// libavformat/libavcodec full decode of the same stream in the same run:
//  - BM_BareFullDecode: every frame decoded, nothing converted (the baseline);
//  - BM_DeviceEveryFrame: the device told grabs come every 100 ms, so it
//    decodes every frame; one grab a second converts one picture;
//  - BM_DeviceKeyFramesOnly: the device told grabs come every second, so it
//    decodes key frames only; one grab a second.
// The counter cpu_per_s is the whole process's CPU time over the span.
// VISTREL_STREAM_BENCH_SECONDS sets the span (default 10).
#include "capture/network_device.h"
#include "support/stream_server.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <thread>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

double ProcessCpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

std::chrono::seconds Span()
{
    const char* text = std::getenv("VISTREL_STREAM_BENCH_SECONDS");
    const int seconds = text ? std::atoi(text) : 0;
    return std::chrono::seconds(seconds > 0 ? seconds : 10);
}

// One server for the whole run; killed when the program ends.
vistrel::test::StreamServer* Server()
{
    static auto server = [] {
        auto started = std::make_unique<vistrel::test::StreamServer>(std::vector<std::string>{
            "rtsp", "--codec", "h264", "--size", "1920x1080", "--fps", "25", "--gop", "25", "--bitrate", "4000",
            "--preset", "veryfast", "--profile", "high", "--whole-frames"});
        return started->Start() ? std::move(started) : nullptr;
    }();
    return server.get();
}

vistrel::NetworkCamera Camera()
{
    vistrel::NetworkCamera camera;
    camera.name = "bench";
    camera.url = Server()->Url("rtsp");
    return camera;
}

void Report(benchmark::State& state, double cpuSeconds, double wallSeconds)
{
    state.SetIterationTime(wallSeconds);
    state.counters["cpu_per_s"] = cpuSeconds / wallSeconds;
}

void BM_BareFullDecode(benchmark::State& state)
{
    if (!Server()) {
        state.SkipWithError("the RTSP server did not start");
        return;
    }
    av_log_set_level(AV_LOG_ERROR);
    for (auto _ : state) {
        AVFormatContext* input = nullptr;
        AVDictionary* options = nullptr;
        av_dict_set(&options, "rtsp_transport", "tcp", 0);
        const std::string url = Camera().url;
        if (avformat_open_input(&input, url.c_str(), nullptr, &options) < 0) {
            av_dict_free(&options);
            state.SkipWithError("cannot open the stream");
            return;
        }
        av_dict_free(&options);
        const int stream = av_find_best_stream(input, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        const AVCodec* codec = avcodec_find_decoder(input->streams[stream]->codecpar->codec_id);
        AVCodecContext* decoder = avcodec_alloc_context3(codec);
        avcodec_parameters_to_context(decoder, input->streams[stream]->codecpar);
        decoder->thread_count = 0; // as the device does
        avcodec_open2(decoder, codec, nullptr);
        AVPacket* packet = av_packet_alloc();
        AVFrame* picture = av_frame_alloc();
        int64_t pictures = 0;
        auto step = [&] {
            if (av_read_frame(input, packet) < 0)
                return false;
            if (packet->stream_index == stream && avcodec_send_packet(decoder, packet) == 0)
                while (avcodec_receive_frame(decoder, picture) == 0)
                    ++pictures;
            av_packet_unref(packet);
            return true;
        };
        // Warm up: to the first picture.
        while (pictures == 0 && step()) {
        }
        const double cpu = ProcessCpuSeconds();
        const Clock::time_point began = Clock::now();
        const int64_t first = pictures;
        while (Clock::now() - began < Span() && step()) {
        }
        const double wall = std::chrono::duration<double>(Clock::now() - began).count();
        Report(state, ProcessCpuSeconds() - cpu, wall);
        state.counters["pictures_per_s"] = double(pictures - first) / wall;
        av_frame_free(&picture);
        av_packet_free(&packet);
        avcodec_free_context(&decoder);
        avformat_close_input(&input);
    }
}
BENCHMARK(BM_BareFullDecode)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

void RunDevice(benchmark::State& state, int grabIntervalMs)
{
    if (!Server()) {
        state.SkipWithError("the RTSP server did not start");
        return;
    }
    for (auto _ : state) {
        vistrel::NetworkDevice device(Camera());
        device.SetFormat({1920, 1080, 24});
        device.SetDeliveredBitCount(24);
        device.SetGrabIntervalMs(grabIntervalMs);
        device.Start();
        // Warm up: the key-frame interval known and a first picture grabbed.
        const Clock::time_point deadline = Clock::now() + 30s;
        while ((device.KeyFrameIntervalMs() == 0 || !device.LatestFrame()) && Clock::now() < deadline)
            std::this_thread::sleep_for(20ms);
        if (device.KeyFrameIntervalMs() == 0) {
            state.SkipWithError("no key frames from the stream");
            return;
        }
        const uint64_t decoded = device.DecodedPictures();
        int grabbed = 0;
        const double cpu = ProcessCpuSeconds();
        const Clock::time_point began = Clock::now();
        for (Clock::time_point next = began + 1s; next - began <= Span(); next += 1s) {
            std::this_thread::sleep_until(next);
            grabbed += device.LatestFrame() != nullptr;
        }
        const double wall = std::chrono::duration<double>(Clock::now() - began).count();
        Report(state, ProcessCpuSeconds() - cpu, wall);
        state.counters["pictures_per_s"] = double(device.DecodedPictures() - decoded) / wall;
        state.counters["grabbed"] = grabbed;
        state.counters["every_frame"] = device.DecodesEveryFrame();
        device.Stop();
    }
}

void BM_DeviceEveryFrame(benchmark::State& state)
{
    RunDevice(state, 100);
}
BENCHMARK(BM_DeviceEveryFrame)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

void BM_DeviceKeyFramesOnly(benchmark::State& state)
{
    RunDevice(state, 1000);
}
BENCHMARK(BM_DeviceKeyFramesOnly)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
