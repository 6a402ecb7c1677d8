// SPDX-License-Identifier: GPL-3.0-or-later
#include "capture/network_device.h"

#include "capture/capture_log.h"
#include "capture/frame_convert.h"
#include "capture/network_input.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vistrel {

namespace {

using Clock = std::chrono::steady_clock;

// A snapshot URL is fetched at this pace until the grab interval is known.
constexpr int kDefaultSnapshotIntervalMs = 1000;
// Key-frame packets without time stamps this close together are one frame.
constexpr double kSameFrameMs = 10;

std::string AvError(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

struct DecoderDeleter {
    void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
using DecoderPtr = std::unique_ptr<AVCodecContext, DecoderDeleter>;

struct PacketDeleter {
    void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;

struct PictureDeleter {
    void operator()(AVFrame* picture) const { av_frame_free(&picture); }
};
using PicturePtr = std::unique_ptr<AVFrame, PictureDeleter>;

// Decoders report full-range pictures by the old JPEG format names.
AVPixelFormat PlainFormat(int format, bool& fullRange)
{
    switch (format) {
    case AV_PIX_FMT_YUVJ420P: fullRange = true; return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P: fullRange = true; return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P: fullRange = true; return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P: fullRange = true; return AV_PIX_FMT_YUV440P;
    default: return AVPixelFormat(format);
    }
}

DecoderPtr OpenDecoder(const AVCodecParameters& parameters)
{
    const AVCodec* codec = avcodec_find_decoder(parameters.codec_id);
    if (!codec)
        return nullptr;
    DecoderPtr decoder(avcodec_alloc_context3(codec));
    if (!decoder || avcodec_parameters_to_context(decoder.get(), &parameters) < 0)
        return nullptr;
    decoder->thread_count = 0; // as many as there are cores
    if (avcodec_open2(decoder.get(), codec, nullptr) < 0)
        return nullptr;
    return decoder;
}

} // namespace

struct NetworkDevice::HeldFrame {
    HeldFrame() = default;
    HeldFrame(const HeldFrame&) = delete;
    HeldFrame& operator=(const HeldFrame&) = delete;
    ~HeldFrame()
    {
        av_packet_free(&jpeg);
        av_frame_free(&picture);
    }

    uint64_t sequence = 0;
    int width = 0;
    int height = 0;
    AVPacket* jpeg = nullptr;   // a JPEG picture, decoded by the grab
    AVFrame* picture = nullptr; // a decoded picture, converted by the grab
};

NetworkDevice::NetworkDevice(NetworkCamera camera, NetworkTimeouts timeouts)
    : camera_(std::move(camera))
    , timeouts_(timeouts)
{
}

NetworkDevice::~NetworkDevice()
{
    Stop();
    sws_freeContext(scaler_);
}

std::vector<CaptureFormat> NetworkDevice::Formats()
{
    std::lock_guard lock(latestMutex_);
    if (changedTo_)
        return {*changedTo_};
    if (format_.width > 0)
        return {format_};
    return {};
}

int NetworkDevice::SetFormat(const CaptureFormat& format)
{
    if (format.bitCount != 24 || format.width <= 0 || format.height <= 0)
        return kNoMatchingFormat;
    if (thread_.joinable())
        return -EBUSY;
    format_ = format;
    return 0;
}

int NetworkDevice::SetDeliveredBitCount(int bitCount)
{
    return bitCount == 24 && format_.bitCount == 24 ? 0 : kEFail;
}

int NetworkDevice::PrepareStreaming()
{
    return format_.width > 0 ? 0 : -EINVAL;
}

int NetworkDevice::Start()
{
    if (format_.width <= 0)
        return -EINVAL;
    if (thread_.joinable())
        return 0;
    stop_ = false;
    thread_ = std::thread([this] { Run(); });
    return 0;
}

void NetworkDevice::Stop()
{
    {
        std::lock_guard lock(stopMutex_);
        stop_ = true;
    }
    stopWake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void NetworkDevice::SetGrabIntervalMs(int intervalMs)
{
    grabIntervalMs_ = std::max(0, intervalMs);
}

bool NetworkDevice::DecodesEveryFrame() const
{
    // Until both are known, every frame: nothing is lost by deciding late.
    const int grabMs = grabIntervalMs_.load(), keyMs = keyIntervalMs_.load();
    return grabMs <= 0 || keyMs <= 0 || grabMs < keyMs;
}

bool NetworkDevice::FormatChanged(CaptureFormat& now) const
{
    std::lock_guard lock(latestMutex_);
    if (!changedTo_)
        return false;
    now = *changedTo_;
    return true;
}

BITMAPINFOHEADER NetworkDevice::DeliveredHeader() const
{
    BITMAPINFOHEADER header;
    header.biWidth = format_.width;
    header.biHeight = format_.height;
    header.biBitCount = 24;
    header.biSizeImage = uint32_t(format_.width * format_.height * 3);
    return header;
}

bool NetworkDevice::WaitUntil(Clock::time_point until)
{
    std::unique_lock lock(stopMutex_);
    return !stopWake_.wait_until(lock, until, [this] { return stop_.load(); });
}

// The stream thread: one connection after the other. A connection that
// fails loses the camera, and the next one waits a backoff that doubles
// from the first to the longest, and starts again from the first once a
// connection gave pictures. A snapshot URL is fetched once per grab
// interval, and is lost only when a fetch fails.
void NetworkDevice::Run()
{
    auto backoff = timeouts_.firstBackoff;
    while (!stop_) {
        const Clock::time_point began = Clock::now();
        bool pictureSeen = false;
        const SessionEnd end = RunSession(pictureSeen);
        if (end == SessionEnd::Stopped || stop_)
            break;
        if (end == SessionEnd::SnapshotTaken) {
            backoff = timeouts_.firstBackoff;
            const int intervalMs = grabIntervalMs_ > 0 ? grabIntervalMs_.load() : kDefaultSnapshotIntervalMs;
            if (!WaitUntil(began + std::chrono::milliseconds(intervalMs)))
                break;
            continue;
        }
        MarkLost();
        if (pictureSeen)
            backoff = timeouts_.firstBackoff;
        qCDebug(lcCapture) << "network camera" << MaskedUrl(camera_).c_str() << "lost; next try in"
                           << backoff.count() << "ms";
        if (!WaitUntil(Clock::now() + backoff))
            break;
        backoff = std::min(backoff * 2, timeouts_.maxBackoff);
    }
}

NetworkDevice::SessionEnd NetworkDevice::RunSession(bool& pictureSeen)
{
    NetworkInput input(&stop_);
    ++connections_;
    if (const int rc = input.Open(camera_, timeouts_.open); rc < 0) {
        qCDebug(lcCapture) << "cannot open" << MaskedUrl(camera_).c_str() << AvError(rc).c_str();
        return stop_ ? SessionEnd::Stopped : SessionEnd::Failed;
    }
    const int streamIndex = input.VideoStream();
    if (streamIndex < 0) {
        qCDebug(lcCapture) << MaskedUrl(camera_).c_str() << "has no video stream";
        return SessionEnd::Failed;
    }
    AVFormatContext* context = input.context();
    for (unsigned i = 0; i < context->nb_streams; ++i)
        if (int(i) != streamIndex)
            context->streams[i]->discard = AVDISCARD_ALL;
    const AVStream* video = context->streams[streamIndex];
    if (video->avg_frame_rate.num > 0 && video->avg_frame_rate.den > 0)
        frameIntervalMs_ = std::clamp(int(1000 * int64_t(video->avg_frame_rate.den) / video->avg_frame_rate.num), 1, 1000);
    timeBaseMs_ = av_q2d(video->time_base) * 1000;

    // JPEG pictures stay compressed; anything else is decoded here.
    const bool jpeg = video->codecpar->codec_id == AV_CODEC_ID_MJPEG;
    DecoderPtr decoder;
    if (!jpeg) {
        decoder = OpenDecoder(*video->codecpar);
        if (!decoder) {
            qCDebug(lcCapture) << MaskedUrl(camera_).c_str() << "has no decoder for"
                               << avcodec_get_name(video->codecpar->codec_id);
            return SessionEnd::Failed;
        }
    }
    awaitingKeyFrame_ = true;
    referencesDamaged_ = false;
    lastKeyPtsValid_ = false;
    lastKeyArrival_ = {};
    lastPicture_ = Clock::now();

    const bool snapshots = input.ServesSnapshots();
    PacketPtr packet(av_packet_alloc());
    PacketPtr unit(av_packet_alloc()); // the picture being joined from its packets
    if (!packet || !unit)
        return SessionEnd::Failed;
    while (!stop_) {
        if (const int rc = input.ReadPacket(packet.get(), timeouts_.read); rc < 0) {
            if (stop_)
                return SessionEnd::Stopped;
            qCDebug(lcCapture) << "stream of" << MaskedUrl(camera_).c_str() << "ended:" << AvError(rc).c_str();
            return SessionEnd::Failed;
        }
        bool picture = false;
        if (packet->stream_index == streamIndex)
            picture = jpeg ? HandleJpeg(*packet) : HandleCoded(*decoder, packet.get(), *unit);
        av_packet_unref(packet.get());

        const Clock::time_point now = Clock::now();
        if (picture) {
            pictureSeen = true;
            lastPicture_ = now;
            if (snapshots)
                return SessionEnd::SnapshotTaken;
            continue;
        }
        // Packets that never make a picture: garbage, or a stream cut short
        // in every frame. Key-frame-only decoding waits for the key frames.
        const auto limit = std::max<std::chrono::milliseconds>(
            timeouts_.noPicture, std::chrono::milliseconds(3 * int64_t(keyIntervalMs_.load())));
        if (now - lastPicture_ > limit) {
            qCDebug(lcCapture) << "stream of" << MaskedUrl(camera_).c_str() << "gives no pictures";
            return SessionEnd::Failed;
        }
    }
    return SessionEnd::Stopped;
}

bool NetworkDevice::HandleJpeg(const AVPacket& packet)
{
    auto held = std::make_shared<HeldFrame>();
    if (!JpegFrameSize(packet.data, size_t(packet.size), held->width, held->height))
        return false;
    held->jpeg = av_packet_clone(&packet); // shares the packet's buffer
    if (!held->jpeg)
        return false;
    Publish(std::move(held));
    return true;
}

void NetworkDevice::MeasureKeyInterval(int64_t pts, Clock::time_point now)
{
    // A key frame may come in several packets (parameter sets, then the
    // picture) with one time stamp: it counts once.
    double intervalMs = 0;
    if (pts != AV_NOPTS_VALUE) {
        if (lastKeyPtsValid_ && pts == lastKeyPts_)
            return;
        if (lastKeyPtsValid_ && pts > lastKeyPts_)
            intervalMs = double(pts - lastKeyPts_) * timeBaseMs_;
    } else if (lastKeyArrival_ != Clock::time_point{}) {
        // Without time stamps, packets of one frame arrive together.
        intervalMs = std::chrono::duration<double, std::milli>(now - lastKeyArrival_).count();
        if (intervalMs < kSameFrameMs)
            return;
    }
    if (intervalMs >= 1)
        keyIntervalMs_ = int(std::min(intervalMs, 3600000.0));
    lastKeyPts_ = pts;
    lastKeyPtsValid_ = pts != AV_NOPTS_VALUE;
    lastKeyArrival_ = now;
}

// A stream may split a picture over several packets with one time stamp
// (parameter sets sent again between its slices): they are joined into
// one unit, decoded once the next picture's first packet arrives.
bool NetworkDevice::HandleCoded(AVCodecContext& decoder, AVPacket* packet, AVPacket& unit)
{
    if (unit.size > 0 && packet->pts != AV_NOPTS_VALUE && packet->pts == unit.pts) {
        const int joined = unit.size;
        if (av_grow_packet(&unit, packet->size) < 0) {
            av_packet_unref(&unit);
            return false;
        }
        std::memcpy(unit.data + joined, packet->data, size_t(packet->size));
        return false;
    }
    bool picture = false;
    if (unit.size > 0)
        picture = DecodeUnit(decoder, unit);
    av_packet_unref(&unit);
    av_packet_move_ref(&unit, packet);
    return picture;
}

bool NetworkDevice::DecodeUnit(AVCodecContext& decoder, AVPacket& unit)
{
    const bool key = unit.flags & AV_PKT_FLAG_KEY;
    if (key)
        MeasureKeyInterval(unit.pts, Clock::now());
    const bool everyFrame = DecodesEveryFrame();
    // Back to every frame after key frames alone: the frames between refer
    // to pictures the decoder never saw until the next key frame.
    if (everyFrame && !decodedEveryFrame_)
        awaitingKeyFrame_ = true;
    decodedEveryFrame_ = everyFrame;
    if (!key && (awaitingKeyFrame_ || !everyFrame)) {
        ++droppedUndecoded_;
        return false;
    }
    awaitingKeyFrame_ = false;
    if (const int rc = avcodec_send_packet(&decoder, &unit); rc < 0) {
        qCDebug(lcCapture) << "a packet of" << MaskedUrl(camera_).c_str() << "is refused:" << AvError(rc).c_str();
        return false;
    }
    bool picture = ReceivePictures(decoder);
    if (!everyFrame) {
        // A key frame alone: drained at once, so a threaded decoder does not
        // hold its picture back for frames that never come, then reset for
        // the next one.
        avcodec_send_packet(&decoder, nullptr);
        picture = ReceivePictures(decoder) || picture;
        avcodec_flush_buffers(&decoder);
    }
    return picture;
}

bool NetworkDevice::ReceivePictures(AVCodecContext& decoder)
{
    bool picture = false;
    for (;;) {
        PicturePtr decoded(av_frame_alloc());
        if (!decoded || avcodec_receive_frame(&decoder, decoded.get()) < 0)
            return picture;
        ++decoded_;
        // A damaged picture (lost packets, garbage) is never shown, and
        // neither is any picture drawn from it, up to the next key frame.
        if (decoded->decode_error_flags != 0 || (decoded->flags & AV_FRAME_FLAG_CORRUPT)) {
            ++damaged_;
            awaitingKeyFrame_ = true;
            referencesDamaged_ = true;
            continue;
        }
        if (referencesDamaged_ && !decoded->key_frame)
            continue;
        referencesDamaged_ = false;
        auto held = std::make_shared<HeldFrame>();
        held->width = decoded->width;
        held->height = decoded->height;
        held->picture = decoded.release();
        Publish(std::move(held));
        picture = true;
    }
}

void NetworkDevice::Publish(std::shared_ptr<HeldFrame> frame)
{
    lost_ = false;
    std::lock_guard lock(latestMutex_);
    if (frame->width != format_.width || frame->height != format_.height) {
        if (!changedTo_)
            qCDebug(lcCapture) << "network camera" << MaskedUrl(camera_).c_str() << "now sends"
                               << frame->width << "x" << frame->height;
        changedTo_ = CaptureFormat{frame->width, frame->height, 24};
        latest_.reset();
        return;
    }
    changedTo_.reset();
    frame->sequence = ++sequence_;
    latest_ = std::move(frame);
}

// Nothing from before the loss is delivered after it.
void NetworkDevice::MarkLost()
{
    lost_ = true;
    std::lock_guard lock(latestMutex_);
    latest_.reset();
}

std::shared_ptr<const NetworkDevice::HeldFrame> NetworkDevice::TakeLatest(bool forGrab)
{
    std::lock_guard lock(latestMutex_);
    if (!latest_ || (forGrab && latest_->sequence <= handedSequence_))
        return nullptr;
    if (forGrab)
        handedSequence_ = latest_->sequence;
    return latest_;
}

std::unique_ptr<Frame> NetworkDevice::LatestFrame()
{
    const auto held = TakeLatest(true);
    return held ? Convert(*held) : nullptr;
}

std::unique_ptr<Frame> NetworkDevice::PreviewFrame()
{
    const auto held = TakeLatest(false);
    return held ? Convert(*held) : nullptr;
}

std::unique_ptr<Frame> NetworkDevice::Convert(const HeldFrame& held)
{
    const int width = held.width, height = held.height;
    auto frame = Frame::Create(width, height, 24);
    if (held.jpeg) {
        if (!DecodeJpegToBgr(held.jpeg->data, size_t(held.jpeg->size), width, height, frame->data()))
            return nullptr;
        return frame;
    }
    const AVFrame& picture = *held.picture;
    bool fullRange = picture.color_range == AVCOL_RANGE_JPEG;
    const AVPixelFormat source = PlainFormat(picture.format, fullRange);
    const int colorspace = picture.colorspace >= 0 && picture.colorspace <= AVCOL_SPC_BT2020_NCL ? int(picture.colorspace)
                                                                                                 : SWS_CS_DEFAULT;
    // Bottom-up rows: the last row first, walking back.
    const int rowBytes = width * 3;
    uint8_t* const target[4] = {frame->data() + ptrdiff_t(height - 1) * rowBytes, nullptr, nullptr, nullptr};
    const int targetStride[4] = {-rowBytes, 0, 0, 0};

    std::lock_guard lock(convertMutex_);
    SwsContext* scaler = sws_getCachedContext(scaler_, width, height, source, width, height, AV_PIX_FMT_BGR24,
                                              SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (!scaler) {
        scaler_ = nullptr;
        return nullptr;
    }
    if (scaler != scaler_ || colorspace != scalerColorspace_ || int(fullRange) != scalerFullRange_) {
        sws_setColorspaceDetails(scaler, sws_getCoefficients(colorspace), fullRange, sws_getCoefficients(SWS_CS_DEFAULT),
                                 1, 0, 1 << 16, 1 << 16);
        scalerColorspace_ = colorspace;
        scalerFullRange_ = fullRange;
    }
    scaler_ = scaler;
    if (sws_scale(scaler, picture.data, picture.linesize, 0, height, target, targetStride) != height)
        return nullptr;
    return frame;
}

} // namespace vistrel
