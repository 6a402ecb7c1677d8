// SPDX-License-Identifier: GPL-3.0-or-later
// The MP4 writer: JPEG images decoded by libjpeg-turbo, encoded as H.264 and
// muxed by libavformat, each image at its own presentation time.
#include "review/export_steps.h"

#include "review/review_log.h"
#include "capture/libav_log.h"

#include <algorithm>
#include <csetjmp>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include <jpeglib.h>

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
// The recorder's JPEGs carry well under a kilobyte of headers before the
// compressed picture; this leaves room for others' metadata.
constexpr size_t kHeaderBytes = 16 * 1024;
// A header claiming more pixels than any camera gives is a damaged file, not
// a reason to allocate gigabytes.
constexpr int64_t kMaxPixels = 8192 * 8192;

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

struct Size {
    int width = 0;
    int height = 0;
    friend auto operator<=>(const Size&, const Size&) = default;
};

// Decodes with libjpeg-turbo, the library that wrote the images: it tells
// damaged compressed data (a scan that ends early, or leaves bytes over)
// that would otherwise decode to a garbage picture.
class JpegReader {
public:
    JpegReader()
    {
        info_.err = jpeg_std_error(&failure_.manager);
        failure_.manager.error_exit = Fail;
        failure_.manager.emit_message = Warn;
        jpeg_create_decompress(&info_);
    }
    ~JpegReader() { jpeg_destroy_decompress(&info_); }
    JpegReader(const JpegReader&) = delete;
    JpegReader& operator=(const JpegReader&) = delete;

    // The picture size its header gives (from the first bytes of a file).
    std::optional<Size> ReadSize(const std::vector<uint8_t>& bytes)
    {
        if (setjmp(failure_.jump)) {
            jpeg_abort_decompress(&info_);
            return std::nullopt;
        }
        jpeg_mem_src(&info_, bytes.data(), static_cast<unsigned long>(bytes.size()));
        jpeg_read_header(&info_, TRUE);
        const Size size{int(info_.image_width), int(info_.image_height)};
        jpeg_abort_decompress(&info_);
        if (int64_t(size.width) * size.height > kMaxPixels)
            return std::nullopt;
        return size;
    }

    // The picture of a whole file, or null when the file is damaged (cut
    // short, corrupt, or claiming more than kMaxPixels). The recorder's own
    // 4:2:0 images come as their full-range YUV planes, untouched; others
    // as RGB.
    FramePtr Decode(const std::vector<uint8_t>& bytes)
    {
        FramePtr frame(av_frame_alloc());
        if (!frame)
            return nullptr;
        if (setjmp(failure_.jump)) {
            jpeg_abort_decompress(&info_);
            return nullptr;
        }
        jpeg_mem_src(&info_, bytes.data(), static_cast<unsigned long>(bytes.size()));
        jpeg_read_header(&info_, TRUE);
        if (int64_t(info_.image_width) * info_.image_height > kMaxPixels)
            Fail(reinterpret_cast<j_common_ptr>(&info_));
        const jpeg_component_info* c = info_.comp_info;
        const bool planes = info_.jpeg_color_space == JCS_YCbCr && info_.num_components == 3 && c[0].h_samp_factor == 2
            && c[0].v_samp_factor == 2 && c[1].h_samp_factor == 1 && c[1].v_samp_factor == 1
            && c[2].h_samp_factor == 1 && c[2].v_samp_factor == 1;
        info_.raw_data_out = planes ? TRUE : FALSE;
        info_.out_color_space = planes ? JCS_YCbCr : JCS_RGB;
        jpeg_start_decompress(&info_);
        // Raw planes come in whole blocks of 16 rows and columns: room for them.
        frame->format = planes ? AV_PIX_FMT_YUV420P : AV_PIX_FMT_RGB24;
        frame->width = planes ? FFALIGN(int(info_.output_width), 16) : int(info_.output_width);
        frame->height = planes ? FFALIGN(int(info_.output_height), 16) : int(info_.output_height);
        frame->color_range = AVCOL_RANGE_JPEG;
        if (av_frame_get_buffer(frame.get(), 0) < 0)
            Fail(reinterpret_cast<j_common_ptr>(&info_));
        frame->width = int(info_.output_width);
        frame->height = int(info_.output_height);
        if (planes) {
            JSAMPROW luma[16], blue[8], red[8];
            JSAMPARRAY strips[3] = {luma, blue, red};
            while (info_.output_scanline < info_.output_height) {
                const ptrdiff_t at = info_.output_scanline;
                for (int i = 0; i < 16; ++i)
                    luma[i] = frame->data[0] + (at + i) * frame->linesize[0];
                for (int i = 0; i < 8; ++i) {
                    blue[i] = frame->data[1] + (at / 2 + i) * frame->linesize[1];
                    red[i] = frame->data[2] + (at / 2 + i) * frame->linesize[2];
                }
                jpeg_read_raw_data(&info_, strips, 16);
            }
        } else {
            while (info_.output_scanline < info_.output_height) {
                JSAMPROW row = frame->data[0] + ptrdiff_t(info_.output_scanline) * frame->linesize[0];
                jpeg_read_scanlines(&info_, &row, 1);
            }
        }
        jpeg_finish_decompress(&info_);
        return frame;
    }

private:
    struct Failure {
        jpeg_error_mgr manager;
        std::jmp_buf jump;
    };
    [[noreturn]] static void Fail(j_common_ptr info) { std::longjmp(reinterpret_cast<Failure*>(info->err)->jump, 1); }
    // Every warning is of damaged data: the picture is refused whole.
    static void Warn(j_common_ptr info, int level)
    {
        if (level < 0)
            Fail(info);
    }

    Failure failure_;
    jpeg_decompress_struct info_;
};

// The size most images of the job have (ties: the largest), read from their
// headers; none when no header could be read. Gives up when cancelled.
std::optional<Size> CommonSize(const ExportJob& job, const std::atomic<bool>& cancel, int dirFd)
{
    std::map<Size, size_t> counts;
    JpegReader reader;
    std::vector<uint8_t> head;
    for (const ExportFrame& frame : job.frames) {
        if (cancel)
            return std::nullopt;
        if (ReadArchiveFile(dirFd, ArchiveImageName(frame.key, job.suffix), head, kHeaderBytes)
            == ArchiveFileStatus::Read)
            if (const std::optional<Size> size = reader.ReadSize(head))
                ++counts[*size];
    }
    std::optional<Size> common;
    size_t most = 0;
    for (const auto& [size, count] : counts) {
        const auto area = [](Size s) { return int64_t(s.width) * s.height; };
        if (count > most || (count == most && area(size) >= area(*common))) {
            common = size;
            most = count;
        }
    }
    return common;
}

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

    // A decoded image as the encoder's picture, converted. One of the video's
    // size (give or take the odd row or column) fills it; another (the
    // camera's format changed within the range) is scaled into it keeping
    // its shape, between black bars.
    FramePtr Convert(FramePtr decoded)
    {
        const bool fullRange = decoded->color_range == AVCOL_RANGE_JPEG;
        const auto format = AVPixelFormat(decoded->format);
        if (format == AV_PIX_FMT_YUV420P && decoded->width == width_ && decoded->height == height_
            && fullRange == fullRange_)
            return decoded;
        const AVFrame& source = *decoded;
        int x = 0, y = 0, width = width_, height = height_;
        if ((source.width & ~1) != width_ || (source.height & ~1) != height_) {
            // Even sizes and offsets keep the half-size colour planes aligned.
            const auto even = [](int64_t v, int most) { return int(std::clamp<int64_t>(v & ~1, 2, most)); };
            if (int64_t(source.width) * height_ >= int64_t(source.height) * width_)
                height = even((int64_t(source.height) * width_ * 2 + source.width) / (2 * source.width), height_);
            else
                width = even((int64_t(source.width) * height_ * 2 + source.height) / (2 * source.height), width_);
            x = ((width_ - width) / 2) & ~1;
            y = ((height_ - height) / 2) & ~1;
        }
        scaler_.reset(sws_getCachedContext(scaler_.release(), source.width, source.height, format, width, height,
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
        if (width != width_ || height != height_) {
            std::memset(picture->data[0], fullRange_ ? 0 : 16, size_t(picture->linesize[0]) * size_t(height_));
            std::memset(picture->data[1], 128, size_t(picture->linesize[1]) * size_t(height_ / 2));
            std::memset(picture->data[2], 128, size_t(picture->linesize[2]) * size_t(height_ / 2));
        }
        uint8_t* const target[4] = {picture->data[0] + y * picture->linesize[0] + x,
                                    picture->data[1] + y / 2 * picture->linesize[1] + x / 2,
                                    picture->data[2] + y / 2 * picture->linesize[2] + x / 2, nullptr};
        sws_scale(scaler_.get(), source.data, source.linesize, 0, source.height, target, picture->linesize);
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

ExportResult WriteMp4(const ExportJob& job, const TaskProgress& progress, const std::atomic<bool>& cancel,
                      AtomicOutput& output, int dirFd)
{
    RouteLibavLog();
    ExportResult result;
    JpegReader reader;

    // The file name goes to libavformat as a file: URL, so no name is ever
    // taken for another protocol; it opens (and for the index at the front,
    // reopens) the temporary file itself.
    const std::string url = "file:" + output.temporaryPath();
    // The size most images have, so that one odd image (a test shot, the
    // camera's format changed for a moment) never sets the video's size.
    const std::optional<Size> common = CommonSize(job, cancel, dirFd);
    VideoWriter writer;
    bool open = false;
    std::vector<uint8_t> bytes;
    FramePtr pending; // held back until the next image tells how long it stays
    int64_t pendingPts = 0;
    int64_t lastDuration = kLoneFrameMs;
    const int64_t firstMs = job.frames.front().timeMs;

    for (size_t i = 0; i < job.frames.size(); ++i) {
        if (cancel) {
            result.status = ExportResult::Status::Cancelled;
            return result;
        }
        const ExportFrame& frame = job.frames[i];
        const std::string name = ArchiveImageName(frame.key, job.suffix);
        progress(int64_t(i + 1), int64_t(job.frames.size()));
        if (const ArchiveFileStatus read = ReadArchiveFile(dirFd, name, bytes); read != ArchiveFileStatus::Read) {
            CountUnread(read, name, result);
            continue;
        }
        FramePtr decoded = reader.Decode(bytes);
        if (!decoded) {
            result.damaged.Add(name);
            continue;
        }
        if (!open) {
            // H.264 in 4:2:0 wants even sizes: the odd last row or column
            // goes, and a picture of one pixel is scaled up to two.
            const Size size = common.value_or(Size{decoded->width, decoded->height});
            if (!writer.Open(url, output.path(), std::max(size.width & ~1, 2), std::max(size.height & ~1, 2), result))
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
