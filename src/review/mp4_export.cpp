// The MP4 writer: JPEG images decoded by libavcodec, encoded as H.264 and
// muxed by libavformat, each image at its own presentation time.
#include "review/export_steps.h"

#include "review/review_log.h"

#include <algorithm>
#include <cstdarg>
#include <memory>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace vistrel {

namespace {

constexpr AVRational kMillisecond = {1, 1000};
constexpr int kKeyframeEvery = 50; // frames: players seek to keyframes
constexpr int64_t kLoneFrameMs = 1000;

struct CodecFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct ScalerFree {
    void operator()(SwsContext* s) const { sws_freeContext(s); }
};
struct MuxerFree {
    void operator()(AVFormatContext* f) const
    {
        if (f->pb)
            avio_closep(&f->pb);
        avformat_free_context(f);
    }
};
using CodecPtr = std::unique_ptr<AVCodecContext, CodecFree>;
using FramePtr = std::unique_ptr<AVFrame, FrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFree>;

std::string AvError(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// The libraries' own messages (a damaged JPEG, encoder statistics) go to
// the developer log, not to the user's terminal.
void LibraryLog(void* object, int level, const char* format, va_list args)
{
    if (level > AV_LOG_WARNING || !lcReview().isDebugEnabled())
        return;
    char line[512];
    int prefix = 1;
    av_log_format_line2(object, level, format, args, line, sizeof line, &prefix);
    qCDebug(lcReview, "libav: %s", line);
}

void RouteLibraryLog()
{
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_callback(LibraryLog); });
}

// Libraries report formats by their old full-range names.
AVPixelFormat PlainFormat(AVPixelFormat format, bool& fullRange)
{
    switch (format) {
    case AV_PIX_FMT_YUVJ420P: fullRange = true; return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P: fullRange = true; return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P: fullRange = true; return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P: fullRange = true; return AV_PIX_FMT_YUV440P;
    case AV_PIX_FMT_YUVJ411P: fullRange = true; return AV_PIX_FMT_YUV411P;
    default: return format;
    }
}

class JpegDecoder {
public:
    bool Open(std::string& error)
    {
        const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MJPEG);
        context_.reset(codec ? avcodec_alloc_context3(codec) : nullptr);
        packet_.reset(av_packet_alloc());
        if (!context_ || !packet_) {
            error = "this libavcodec cannot decode JPEG";
            return false;
        }
        const int status = avcodec_open2(context_.get(), codec, nullptr);
        if (status < 0) {
            error = "cannot open the JPEG decoder: " + AvError(status);
            return false;
        }
        return true;
    }

    // The picture of one JPEG file, or null when it cannot be decoded.
    FramePtr Decode(std::vector<uint8_t>& bytes)
    {
        packet_->data = bytes.data();
        packet_->size = int(bytes.size());
        FramePtr frame(av_frame_alloc());
        if (!frame || avcodec_send_packet(context_.get(), packet_.get()) < 0)
            return nullptr;
        if (avcodec_receive_frame(context_.get(), frame.get()) < 0)
            return nullptr;
        return frame;
    }

private:
    CodecPtr context_;
    PacketPtr packet_;
};

// The encoder, the MP4 muxer and the conversion to the encoder's pictures.
class VideoWriter {
public:
    // `url` is where libavformat writes, `shownPath` the file named in messages.
    bool Open(const std::string& url, const std::string& shownPath, int width, int height, ExportResult& result)
    {
        shownPath_ = shownPath;
        width_ = width;
        height_ = height;
        int status = avformat_alloc_output_context2(&muxerRaw_, nullptr, "mp4", url.c_str());
        muxer_.reset(muxerRaw_);
        if (status < 0 || !muxer_) {
            result.error = "this libavformat cannot write MP4: " + AvError(status);
            return false;
        }
        if (!OpenEncoder(result))
            return false;
        stream_ = avformat_new_stream(muxer_.get(), nullptr);
        packet_.reset(av_packet_alloc());
        if (!stream_ || !packet_
            || (status = avcodec_parameters_from_context(stream_->codecpar, encoder_.get())) < 0) {
            result.error = "cannot set up the MP4 stream: " + AvError(status);
            return false;
        }
        stream_->time_base = kMillisecond;
        if ((status = avio_open(&muxer_->pb, url.c_str(), AVIO_FLAG_WRITE)) < 0) {
            result.error = WriteFailure(status);
            return false;
        }
        // The index at the front, so players start at once (also streamed).
        AVDictionary* options = nullptr;
        av_dict_set(&options, "movflags", "+faststart", 0);
        status = avformat_write_header(muxer_.get(), &options);
        av_dict_free(&options);
        if (status < 0) {
            result.error = WriteFailure(status);
            return false;
        }
        return true;
    }

    // A decoded image as the encoder's picture: scaled to the video's size
    // (the camera's format may have changed within the range) and converted.
    FramePtr Convert(FramePtr decoded)
    {
        bool fullRange = decoded->color_range == AVCOL_RANGE_JPEG;
        const AVPixelFormat format = PlainFormat(AVPixelFormat(decoded->format), fullRange);
        if (format == AV_PIX_FMT_YUV420P && decoded->width == width_ && decoded->height == height_
            && fullRange == fullRange_) {
            decoded->format = AV_PIX_FMT_YUV420P; // the same planes under their plain name
            decoded->color_range = encoder_->color_range;
            return decoded;
        }
        scaler_.reset(sws_getCachedContext(scaler_.release(), decoded->width, decoded->height, format, width_, height_,
                                           AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr));
        FramePtr picture(av_frame_alloc());
        if (!scaler_ || !picture)
            return nullptr;
        const int* coefficients = sws_getCoefficients(SWS_CS_ITU601);
        sws_setColorspaceDetails(scaler_.get(), coefficients, fullRange ? 1 : 0, coefficients, fullRange_ ? 1 : 0, 0,
                                 1 << 16, 1 << 16);
        picture->format = AV_PIX_FMT_YUV420P;
        picture->width = width_;
        picture->height = height_;
        picture->color_range = encoder_->color_range;
        if (av_frame_get_buffer(picture.get(), 0) < 0)
            return nullptr;
        sws_scale(scaler_.get(), decoded->data, decoded->linesize, 0, decoded->height, picture->data,
                  picture->linesize);
        return picture;
    }

    // One picture at `ptsMs` (from the first image), on screen for `durationMs`.
    bool Add(AVFrame* picture, int64_t ptsMs, int64_t durationMs, std::string& error)
    {
        picture->pts = ptsMs;
        picture->pict_type = AV_PICTURE_TYPE_NONE;
        durations_.push_back({ptsMs, durationMs});
        const int status = avcodec_send_frame(encoder_.get(), picture);
        if (status < 0) {
            error = "the video encoder failed: " + AvError(status);
            return false;
        }
        return Drain(error);
    }

    bool Finish(std::string& error)
    {
        const int status = avcodec_send_frame(encoder_.get(), nullptr);
        if (status < 0 && status != AVERROR_EOF) {
            error = "the video encoder failed: " + AvError(status);
            return false;
        }
        if (!Drain(error))
            return false;
        const int trailer = av_write_trailer(muxer_.get());
        if (trailer < 0) {
            error = WriteFailure(trailer);
            return false;
        }
        const int closed = avio_closep(&muxer_->pb);
        if (closed < 0) {
            error = WriteFailure(closed);
            return false;
        }
        return true;
    }

    std::string encoderName() const { return encoder_ ? encoder_->codec->name : ""; }
    bool isH264() const { return encoder_ && encoder_->codec_id == AV_CODEC_ID_H264; }

private:
    bool OpenEncoder(ExportResult& result)
    {
        std::string failures;
        for (const std::string& name : AvailableVideoEncoders()) {
            const AVCodec* codec = avcodec_find_encoder_by_name(name.c_str());
            CodecPtr encoder(codec ? avcodec_alloc_context3(codec) : nullptr);
            if (!encoder)
                continue;
            const bool h264 = codec->id == AV_CODEC_ID_H264;
            encoder->width = width_;
            encoder->height = height_;
            encoder->pix_fmt = AV_PIX_FMT_YUV420P;
            encoder->time_base = kMillisecond;
            encoder->gop_size = kKeyframeEvery;
            encoder->thread_count = 0; // as many as the machine has
            encoder->colorspace = AVCOL_SPC_BT470BG; // JPEG's own matrix
            // H.264 says in the stream that the JPEGs' full range is kept; the
            // fallback is converted to the range every player assumes.
            encoder->color_range = h264 ? AVCOL_RANGE_JPEG : AVCOL_RANGE_MPEG;
            if (muxer_->oformat->flags & AVFMT_GLOBALHEADER)
                encoder->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
            AVDictionary* options = nullptr;
            if (h264) {
                av_dict_set(&options, "preset", "veryfast", 0);
                av_dict_set(&options, "crf", "23", 0);
            } else {
                encoder->flags |= AV_CODEC_FLAG_QSCALE;
                encoder->global_quality = FF_QP2LAMBDA * 4;
            }
            const int status = avcodec_open2(encoder.get(), codec, &options);
            av_dict_free(&options);
            if (status < 0) {
                failures += " " + name + ": " + AvError(status) + ";";
                continue;
            }
            fullRange_ = encoder->color_range == AVCOL_RANGE_JPEG;
            encoder_ = std::move(encoder);
            result.encoder = name;
            if (!h264)
                result.note = "H.264 is not available in this libavcodec; the video is MPEG-4 Part 2 (" + name + ")";
            return true;
        }
        result.error = "no video encoder could be opened:" + failures;
        return false;
    }

    bool Drain(std::string& error)
    {
        while (true) {
            int status = avcodec_receive_packet(encoder_.get(), packet_.get());
            if (status == AVERROR(EAGAIN) || status == AVERROR_EOF)
                return true;
            if (status < 0) {
                error = "the video encoder failed: " + AvError(status);
                return false;
            }
            const auto known = std::find_if(durations_.begin(), durations_.end(),
                                            [this](const auto& d) { return d.first == packet_->pts; });
            if (known != durations_.end()) {
                packet_->duration = known->second;
                durations_.erase(known);
            }
            packet_->stream_index = stream_->index;
            av_packet_rescale_ts(packet_.get(), encoder_->time_base, stream_->time_base);
            status = av_interleaved_write_frame(muxer_.get(), packet_.get());
            if (status < 0) {
                error = WriteFailure(status);
                return false;
            }
        }
    }

    std::string WriteFailure(int status) const { return "cannot write \"" + shownPath_ + "\": " + AvError(status); }

    std::string shownPath_;
    int width_ = 0;
    int height_ = 0;
    bool fullRange_ = false;
    AVFormatContext* muxerRaw_ = nullptr;
    std::unique_ptr<AVFormatContext, MuxerFree> muxer_;
    CodecPtr encoder_;
    AVStream* stream_ = nullptr; // owned by the muxer
    PacketPtr packet_;
    std::unique_ptr<SwsContext, ScalerFree> scaler_;
    // Pictures with the encoder and how long each is shown, by time; the
    // encoder holds only a few (its look-ahead), so a short list.
    std::vector<std::pair<int64_t, int64_t>> durations_;
};

} // namespace

std::vector<std::string> AvailableVideoEncoders()
{
    std::vector<std::string> names;
    for (const char* name : {"libx264", "libopenh264", "mpeg4"}) {
        if (avcodec_find_encoder_by_name(name))
            names.emplace_back(name);
    }
    return names;
}

ExportResult WriteMp4(const ExportJob& job, ExportControl& control, AtomicOutput& output, int dirFd)
{
    RouteLibraryLog();
    ExportResult result;
    JpegDecoder decoder;
    if (!decoder.Open(result.error))
        return result;

    // The file name goes to libavformat as a file: URL, so no name is ever
    // taken for another protocol; it opens (and for the index at the front,
    // reopens) the temporary file itself.
    const std::string url = "file:" + output.temporaryPath();
    VideoWriter writer;
    bool open = false;
    std::vector<uint8_t> bytes;
    FramePtr pending; // held back until the next image tells how long it stays
    int64_t pendingPts = 0;
    int64_t lastDuration = kLoneFrameMs;
    const int64_t firstMs = job.frames.front().timeMs;

    for (size_t i = 0; i < job.frames.size(); ++i) {
        if (control.cancel) {
            result.status = ExportResult::Status::Cancelled;
            return result;
        }
        const ExportFrame& frame = job.frames[i];
        const std::string name = ArchiveImageName(frame.key, job.suffix);
        control.done = i + 1;
        if (const ArchiveFileStatus read = ReadArchiveFile(dirFd, name, bytes); read != ArchiveFileStatus::Read) {
            CountUnread(read, name, result);
            continue;
        }
        FramePtr decoded = decoder.Decode(bytes);
        if (!decoded) {
            result.damaged.Add(name);
            continue;
        }
        if (!open) {
            // H.264 in 4:2:0 wants even sizes: the odd last row or column goes.
            const int width = decoded->width & ~1;
            const int height = decoded->height & ~1;
            if (width < 2 || height < 2) {
                result.error = "the images are too small for a video";
                return result;
            }
            if (!writer.Open(url, output.path(), width, height, result))
                return result;
            open = true;
        }
        FramePtr picture = writer.Convert(std::move(decoded));
        if (!picture) {
            ++result.skipped;
            continue;
        }
        // Presentation times must grow: more than a thousand images in one
        // second would otherwise share a millisecond.
        const int64_t pts = pending ? std::max(frame.timeMs - firstMs, pendingPts + 1) : frame.timeMs - firstMs;
        if (pending) {
            lastDuration = pts - pendingPts;
            if (!writer.Add(pending.get(), pendingPts, lastDuration, result.error))
                return result;
        }
        pending = std::move(picture);
        pendingPts = pts;
        ++result.written;
    }
    if (!pending)
        return result; // not one image could be read
    // The last image stays as long as the one before it did.
    if (!writer.Add(pending.get(), pendingPts, lastDuration, result.error) || !writer.Finish(result.error))
        return result;
    result.status = ExportResult::Status::Done;
    return result;
}

} // namespace vistrel
