// SPDX-License-Identifier: GPL-3.0-or-later
#include "review/export_task.h"
#include "review/exporter.h"
#include "review/zip_writer.h"

#include "archive_fixture.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>
#include <QStandardPaths>

#include <atomic>
#include <cstdio>
#include <memory>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace vistrel {
namespace {

// What a player finds in a video file, read back with libavformat and
// libavcodec: every frame decoded, with its presentation time.
struct DecodedVideo {
    AVCodecID codec = AV_CODEC_ID_NONE;
    int width = 0;
    int height = 0;
    std::vector<int64_t> ptsMs; // of the decoded frames, in display order
    int64_t durationMs = 0;     // of the whole stream
};

bool Decode(const std::string& path, DecodedVideo& video)
{
    AVFormatContext* format = nullptr;
    if (avformat_open_input(&format, path.c_str(), nullptr, nullptr) < 0)
        return false;
    std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> closeFormat(
        format, [](AVFormatContext* f) { avformat_close_input(&f); });
    if (avformat_find_stream_info(format, nullptr) < 0 || format->nb_streams != 1)
        return false;
    const AVStream* stream = format->streams[0];
    const AVCodec* codec = avcodec_find_decoder(stream->codecpar->codec_id);
    AVCodecContext* decoder = avcodec_alloc_context3(codec);
    std::unique_ptr<AVCodecContext, void (*)(AVCodecContext*)> freeDecoder(
        decoder, [](AVCodecContext* c) { avcodec_free_context(&c); });
    if (!codec || avcodec_parameters_to_context(decoder, stream->codecpar) < 0 || avcodec_open2(decoder, codec, nullptr) < 0)
        return false;
    video.codec = stream->codecpar->codec_id;
    video.width = stream->codecpar->width;
    video.height = stream->codecpar->height;
    video.durationMs = av_rescale_q(stream->duration, stream->time_base, {1, 1000});

    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    const auto receive = [&] {
        while (avcodec_receive_frame(decoder, frame) == 0)
            video.ptsMs.push_back(av_rescale_q(frame->best_effort_timestamp, stream->time_base, {1, 1000}));
    };
    while (av_read_frame(format, packet) == 0) {
        avcodec_send_packet(decoder, packet);
        av_packet_unref(packet);
        receive();
    }
    avcodec_send_packet(decoder, nullptr);
    receive();
    av_frame_free(&frame);
    av_packet_free(&packet);
    return true;
}

// Files in a folder, hidden ones (temporary files) included.
QStringList FilesIn(const std::string& folder)
{
    return QDir(QString::fromStdString(folder)).entryList(QDir::Files | QDir::Hidden);
}

int Unzip(const QStringList& arguments, QByteArray* output = nullptr)
{
    QProcess unzip;
    unzip.start(QStringLiteral("unzip"), arguments);
    if (!unzip.waitForFinished(60000))
        return -1;
    if (output)
        *output = unzip.readAllStandardOutput();
    return unzip.exitStatus() == QProcess::NormalExit ? unzip.exitCode() : -1;
}

// An export's progress as it reported it: (done, total) each time.
struct ProgressSeen {
    std::vector<std::pair<int64_t, int64_t>> reports;
    TaskProgress callback()
    {
        return [this](int64_t done, int64_t total) { reports.emplace_back(done, total); };
    }
    // Counted up one image at a time to `images`, all of them.
    bool countedTo(size_t images) const
    {
        for (size_t i = 0; i < reports.size(); ++i)
            if (reports[i] != std::pair(int64_t(i + 1), int64_t(images)))
                return false;
        return reports.size() == images;
    }
};

class ExportTest : public testing::Test {
protected:
    void SetUp() override
    {
        // Ten images a second apart, a minute's gap, then two seconds of four
        // images a second (the same second in the name, told apart by the
        // collision number). 65 x 49: odd sizes, which H.264 cannot take.
        for (uint32_t s = 0; s < 10; ++s)
            keys.push_back({kStart + s, 0});
        for (uint32_t s = 70; s < 72; ++s)
            for (uint32_t q = 0; q < 4; ++q)
                keys.push_back({kStart + s, q});
        std::vector<ArchiveImage> images;
        for (size_t i = 0; i < keys.size(); ++i) {
            archive.Add(keys[i], QColor::fromHsv(int(i * 19 % 360), 200, 200), QSize(65, 49));
            images.push_back({keys[i]});
        }
        index = ArchiveIndex(std::move(images), ArchiveIndex::State::Ready);
        output = out.path().toStdString();
    }

    const std::atomic<bool> goOn{false};

    ExportJob Job(ExportFormat format, const char* name) const
    {
        ExportJob job;
        job.folder = archive.path();
        job.suffix = archive.suffix();
        job.frames = ExportFramesOf(index, 0, index.size());
        job.output = output + "/" + name;
        job.format = format;
        return job;
    }

    static constexpr uint32_t kStart = 1796648400;
    test::TempArchive archive;
    std::vector<ArchiveKey> keys;
    ArchiveIndex index;
    QTemporaryDir out;
    std::string output;
};

TEST_F(ExportTest, VideoHoldsEveryImageAtItsOwnTime)
{
    ExportJob job = Job(ExportFormat::Mp4, "clip.mp4");
    // Retention takes one image after the range was chosen: it is left out.
    archive.Remove(keys[3]);
    ProgressSeen progress;
    const ExportResult result = RunExport(job, progress.callback(), goOn);
    ASSERT_EQ(result.status, ExportResult::Status::Done) << result.error;
    EXPECT_TRUE(progress.countedTo(keys.size()));
    EXPECT_EQ(result.written, keys.size() - 1);
    EXPECT_EQ(result.skipped, 1u);
    EXPECT_EQ(FilesIn(output), QStringList{"clip.mp4"}); // no temporary file left

    DecodedVideo video;
    ASSERT_TRUE(Decode(job.output, video));
    const bool h264 = !AvailableVideoEncoders().empty() && AvailableVideoEncoders().front() == "libx264";
    EXPECT_EQ(video.codec, h264 ? AV_CODEC_ID_H264 : AV_CODEC_ID_MPEG4);
    EXPECT_EQ(video.width, 64);
    EXPECT_EQ(video.height, 48);
    const std::vector<int64_t> expected = {0,     1000,  2000,  4000,  5000,  6000,  7000,  8000,  9000,
                                           70000, 70250, 70500, 70750, 71000, 71250, 71500, 71750};
    EXPECT_EQ(video.ptsMs, expected);
    EXPECT_EQ(video.durationMs, 72000); // the last image stays as long as the one before
}

TEST_F(ExportTest, ZipHoldsTheImagesThemselvesUnderTheirNames)
{
    const ExportJob job = Job(ExportFormat::Zip, "images.zip");
    ProgressSeen progress;
    const ExportResult result = RunExport(job, progress.callback(), goOn);
    ASSERT_EQ(result.status, ExportResult::Status::Done) << result.error;
    EXPECT_TRUE(progress.countedTo(keys.size()));
    EXPECT_EQ(FilesIn(output), QStringList{"images.zip"});

    const QString zip = QString::fromStdString(job.output);
    ASSERT_EQ(Unzip({"-tq", zip}), 0); // every entry's checksum holds
    QByteArray listing;
    ASSERT_EQ(Unzip({"-Z1", zip}, &listing), 0);
    QStringList names;
    for (const ArchiveKey& key : keys)
        names << QString::fromStdString(ArchiveImageName(key, archive.suffix()));
    EXPECT_EQ(QString::fromLatin1(listing).split('\n', Qt::SkipEmptyParts), names);
    QByteArray bytes;
    ASSERT_EQ(Unzip({"-p", zip, names[5]}, &bytes), 0);
    QFile original(QString::fromStdString(archive.file(keys[5])));
    ASSERT_TRUE(original.open(QIODevice::ReadOnly));
    EXPECT_EQ(bytes, original.readAll());
}

TEST_F(ExportTest, CancelledOrFailedExportsLeaveNothingBehind)
{
    // A window closed while its export runs: the task stops the job before
    // the job's own state goes (the sanitizer build sees any use after it),
    // and nothing is left behind.
    for (const ExportFormat format : {ExportFormat::Mp4, ExportFormat::Zip}) {
        auto task = std::make_unique<ExportTask>(Job(format, "closed.out"));
        task->Start();
        task.reset();
    }
    EXPECT_TRUE(FilesIn(output).isEmpty()) << FilesIn(output).join(' ').toStdString();

    const std::atomic<bool> cancel{true};
    for (const ExportFormat format : {ExportFormat::Mp4, ExportFormat::Zip})
        EXPECT_EQ(RunExport(Job(format, "cancelled.out"), {}, cancel).status, ExportResult::Status::Cancelled);
    // Every image gone before the export began: a failure, not an empty file.
    for (const ArchiveKey& key : keys)
        archive.Remove(key);
    const ExportResult result = RunExport(Job(ExportFormat::Mp4, "gone.mp4"), {}, goOn);
    EXPECT_EQ(result.status, ExportResult::Status::Failed);
    EXPECT_NE(result.error.find("none of the"), std::string::npos) << result.error;
    EXPECT_TRUE(FilesIn(output).isEmpty()) << FilesIn(output).join(' ').toStdString();
}

TEST_F(ExportTest, NamesTakenByOtherFilesSinceTheListingAreNeitherFollowedNorWaitedOn)
{
    // After the range was listed, images are replaced by a FIFO (a reader
    // would wait for a writer for ever), a link to an image outside and a
    // sparse 64 GB file.
    const std::string outside = out.path().toStdString() + "/outside.jpg";
    ASSERT_EQ(std::rename(archive.file(keys[1]).c_str(), outside.c_str()), 0);
    ASSERT_EQ(symlink(outside.c_str(), archive.file(keys[1]).c_str()), 0);
    archive.Remove(keys[2]);
    ASSERT_EQ(mkfifo(archive.file(keys[2]).c_str(), 0644), 0);
    ASSERT_EQ(truncate(archive.file(keys[3]).c_str(), int64_t(64) << 30), 0);
    for (const ExportFormat format : {ExportFormat::Zip, ExportFormat::Mp4}) {
        const ExportResult result = RunExport(Job(format, format == ExportFormat::Zip ? "a.zip" : "a.mp4"), {}, goOn);
        ASSERT_EQ(result.status, ExportResult::Status::Done) << result.error;
        EXPECT_EQ(result.written, keys.size() - 3);
        EXPECT_EQ(result.skipped, 2u);
        EXPECT_EQ(result.oversized.count, 1u);
        EXPECT_EQ(result.oversized.first, ArchiveImageName(keys[3], archive.suffix()));
    }
}

TEST(ZipWriterTest, MoreEntriesThanTheClassicFormatCountsStillUnzip)
{
    // A day at one image a second is 86,400 images; the classic end record
    // counts only 65,535 entries.
    constexpr size_t kEntries = 70000;
    QTemporaryDir dir;
    const std::string path = dir.path().toStdString() + "/many.zip";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ZipWriter zip(fd);
    const auto nameOf = [](size_t i) { return std::to_string(1796648400 + i) + "0-Cam1A.jpg"; };
    const uint8_t byte = 0xAB;
    for (size_t i = 0; i < kEntries; ++i)
        ASSERT_TRUE(zip.Add(nameOf(i), &byte, 1, 1796648400 + int64_t(i)));
    ASSERT_TRUE(zip.Finish(nameOf));
    close(fd);

    ASSERT_EQ(Unzip({"-tq", QString::fromStdString(path)}), 0);
    QByteArray listing;
    ASSERT_EQ(Unzip({"-Z1", QString::fromStdString(path)}, &listing), 0);
    EXPECT_EQ(size_t(listing.count('\n')), kEntries);
}

} // namespace
} // namespace vistrel
