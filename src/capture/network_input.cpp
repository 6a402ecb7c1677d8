// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/network_input.h"

#include "capture/libav_log.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>

namespace vistrel {

namespace {

// An RTSP goodbye to a server that went away must not hold up a stop.
constexpr std::chrono::milliseconds kCloseTimeout{1500};

bool EndsWith(const char* text, const char* suffix)
{
    const size_t length = std::strlen(text), suffixLength = std::strlen(suffix);
    return length >= suffixLength && std::strcmp(text + length - suffixLength, suffix) == 0;
}

} // namespace

bool JpegFrameSize(const uint8_t* data, size_t size, int& width, int& height)
{
    if (!data || size < 4 || data[0] != 0xFF || data[1] != 0xD8)
        return false;
    // Some cameras pad a picture after its end marker.
    size_t end = size;
    while (end > 4 && (data[end - 1] == 0 || data[end - 1] == '\r' || data[end - 1] == '\n'))
        --end;
    if (data[end - 2] != 0xFF || data[end - 1] != 0xD9)
        return false;
    size_t at = 2;
    while (at + 4 <= end) {
        if (data[at] != 0xFF)
            return false;
        const uint8_t marker = data[at + 1];
        if (marker == 0xFF) { // fill byte
            ++at;
            continue;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) { // markers without a length
            at += 2;
            continue;
        }
        if (marker == 0xD9 || marker == 0xDA) // the end, or the scan, before any frame header
            return false;
        const size_t length = size_t(data[at + 2]) << 8 | data[at + 3];
        if (length < 2)
            return false;
        const bool frameHeader = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frameHeader) {
            if (length < 7 || at + 9 > end)
                return false;
            height = int(data[at + 5]) << 8 | data[at + 6];
            width = int(data[at + 7]) << 8 | data[at + 8];
            return width > 0 && height > 0;
        }
        at += 2 + length;
    }
    return false;
}

NetworkInput::NetworkInput(const std::atomic<bool>* stop)
    : stop_(stop)
{
    RouteLibavLog();
    static std::once_flag networkReady;
    std::call_once(networkReady, [] { avformat_network_init(); });
}

NetworkInput::~NetworkInput()
{
    if (context_) {
        Arm(kCloseTimeout);
        avformat_close_input(&context_);
    }
}

int NetworkInput::Interrupted(void* opaque)
{
    const auto* self = static_cast<const NetworkInput*>(opaque);
    return (self->stop_ && self->stop_->load()) || std::chrono::steady_clock::now() >= self->deadline_;
}

void NetworkInput::Arm(std::chrono::milliseconds span)
{
    deadline_ = std::chrono::steady_clock::now() + span;
}

int NetworkInput::Open(const NetworkCamera& camera, std::chrono::milliseconds timeout)
{
    if (context_)
        return AVERROR(EBUSY);
    context_ = avformat_alloc_context();
    if (!context_)
        return AVERROR(ENOMEM);
    context_->interrupt_callback.callback = &NetworkInput::Interrupted;
    context_->interrupt_callback.opaque = this;
    context_->flags |= AVFMT_FLAG_DISCARD_CORRUPT;

    // The protocols' own time-outs as well, in microseconds, for waits the
    // interrupt does not reach.
    const std::string timeoutUs = std::to_string(std::chrono::microseconds(timeout).count());
    AVDictionary* options = nullptr;
    av_dict_set(&options, "rw_timeout", timeoutUs.c_str(), 0);
    av_dict_set(&options, "timeout", timeoutUs.c_str(), 0);
    http_ = !IsRtspUrl(camera.url);
    if (!http_) {
        av_dict_set(&options, "rtsp_transport", camera.transport == int(RtspTransport::Udp) ? "udp" : "tcp", 0);
        av_dict_set(&options, "allowed_media_types", "video", 0);
    }
    Arm(timeout);
    const int rc = avformat_open_input(&context_, UrlForConnecting(camera).c_str(), nullptr, &options);
    av_dict_free(&options);
    return rc; // a failed open has freed the context and cleared context_
}

int NetworkInput::FindStreamInfo(std::chrono::milliseconds timeout)
{
    if (!context_)
        return AVERROR(EINVAL);
    // Enough to see a picture of any camera's stream, well inside the deadline.
    context_->max_analyze_duration = 2 * AV_TIME_BASE;
    Arm(timeout);
    const int rc = avformat_find_stream_info(context_, nullptr);
    return rc < 0 ? rc : 0;
}

int NetworkInput::ReadPacket(AVPacket* packet, std::chrono::milliseconds timeout)
{
    if (!context_)
        return AVERROR(EINVAL);
    Arm(timeout);
    return av_read_frame(context_, packet);
}

int NetworkInput::VideoStream() const
{
    if (!context_)
        return -1;
    return av_find_best_stream(context_, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
}

bool NetworkInput::ServesSnapshots() const
{
    // Over HTTP, a single picture is read by an image pipe demuxer
    // ("jpeg_pipe"); a multipart stream by "mpjpeg".
    return http_ && context_ && context_->iformat && EndsWith(context_->iformat->name, "_pipe");
}

} // namespace vistrel
