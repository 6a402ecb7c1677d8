// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "capture/libav_log.h" // MaskUserInfo, for what is logged of a stream
#include "capture/network_camera.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

struct AVFormatContext;
struct AVPacket;

namespace vistrel {

// A network camera's stream opened with libavformat, where every network
// wait is bounded: each call gets a deadline, and a stop flag ends any wait
// at once. Used by one thread only (a device's stream thread, or the
// caller of a probe); the stop flag may be set from any thread.
class NetworkInput {
public:
    // `stop` may be null when nothing but the deadlines ends a wait.
    explicit NetworkInput(const std::atomic<bool>* stop);
    // Closes the stream; an RTSP goodbye gets a short deadline of its own.
    ~NetworkInput();
    NetworkInput(const NetworkInput&) = delete;
    NetworkInput& operator=(const NetworkInput&) = delete;

    // Connects and reads the stream's description; 0 or an AVERROR code.
    int Open(const NetworkCamera& camera, std::chrono::milliseconds timeout);
    // Reads packets until the streams' parameters are known; 0 or AVERROR.
    int FindStreamInfo(std::chrono::milliseconds timeout);
    // The next packet of any stream; 0, AVERROR_EOF, or another AVERROR.
    int ReadPacket(AVPacket* packet, std::chrono::milliseconds timeout);

    AVFormatContext* context() const { return context_; }
    // The best video stream's index; negative when there is none.
    int VideoStream() const;
    // True for an HTTP URL that serves one picture a request (a snapshot
    // URL): it is fetched again for every new frame.
    bool ServesSnapshots() const;

private:
    static int Interrupted(void* opaque);
    void Arm(std::chrono::milliseconds span);

    const std::atomic<bool>* stop_;
    std::chrono::steady_clock::time_point deadline_;
    AVFormatContext* context_ = nullptr;
    bool http_ = false;
};

// The size a JPEG declares in its frame header. False when the data does
// not begin a JPEG, has no frame header, or does not end with the JPEG end
// marker (a picture cut short in transit).
bool JpegFrameSize(const uint8_t* data, size_t size, int& width, int& height);

} // namespace vistrel
