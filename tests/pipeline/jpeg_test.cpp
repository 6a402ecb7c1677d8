// SPDX-License-Identifier: GPL-3.0-or-later
#include "pipeline/jpeg.h"

#include "frame_helpers.h"
#include "support/bare_jpeg.h"
#include "support/unprivileged.h"
#include "common/temporary_name.h"

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include <algorithm>
#include <cerrno>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include <csignal>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <jpeglib.h>

namespace vistrel {
namespace {

namespace fs = std::filesystem;
using test::MakeFrame;
using test::Pattern;
using test::SolidFrame;

std::vector<uint8_t> ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return { std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>() };
}

std::vector<std::string> FolderEntries(const std::string& folder)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    return names;
}

// A write under a file-size limit fails part way, as one on a disk that fills up does.
bool WriteAtomicallyWithin(size_t limitBytes, const std::string& path, const std::vector<uint8_t>& data)
{
    struct rlimit saved {};
    if (::getrlimit(RLIMIT_FSIZE, &saved) != 0)
        return true; // reads as a write that did not fail
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = limitBytes;
    ::setrlimit(RLIMIT_FSIZE, &small);
    const bool written = WriteFileAtomically(path, data.data(), data.size()).ok();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
    return written;
}

struct Decoded {
    int width = 0;
    int height = 0;
    int components = 0;
    std::vector<uint8_t> rgb; // top-down
    uint32_t At(int x, int y) const
    {
        const uint8_t* p = &rgb[(size_t(y) * width + x) * 3];
        return (uint32_t(p[0]) << 16) | (uint32_t(p[1]) << 8) | p[2];
    }
};

bool Decode(const std::string& path, Decoded& out)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return false;
    jpeg_decompress_struct cinfo {};
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_decompress(&cinfo);
    jpeg_stdio_src(&cinfo, file);
    jpeg_read_header(&cinfo, TRUE);
    out.components = cinfo.num_components;
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    out.width = int(cinfo.output_width);
    out.height = int(cinfo.output_height);
    out.rgb.resize(size_t(out.width) * out.height * 3);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = &out.rgb[size_t(cinfo.output_scanline) * out.width * 3];
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    std::fclose(file);
    return true;
}

bool Near(uint32_t a, uint32_t b, int tolerance)
{
    for (int shift : { 0, 8, 16 }) {
        if (std::abs(int((a >> shift) & 0xFF) - int((b >> shift) & 0xFF)) > tolerance)
            return false;
    }
    return true;
}

// Marker segments of a JPEG file up to the start of scan.
struct Segment {
    uint8_t marker;
    std::vector<uint8_t> body;
};

std::vector<Segment> Segments(const std::vector<uint8_t>& file)
{
    std::vector<Segment> segments;
    size_t i = 2; // after SOI
    while (i + 4 <= file.size() && file[i] == 0xFF) {
        const uint8_t marker = file[i + 1];
        const size_t length = (size_t(file[i + 2]) << 8) | file[i + 3];
        segments.push_back({ marker, std::vector<uint8_t>(file.begin() + i + 4, file.begin() + i + 2 + length) });
        if (marker == 0xDA)
            break;
        i += 2 + length;
    }
    return segments;
}

// The luminance and chrominance tables that jpeg_set_quality makes, in the
// zigzag order a file carries them.
std::array<std::array<uint16_t, 64>, 2> ExpectedTables(int quality)
{
    static constexpr int kZigzag[64] = { 0, 1, 8, 16, 9, 2, 3, 10, 17, 24, 32, 25, 18, 11, 4, 5, 12, 19, 26, 33,
        40, 48, 41, 34, 27, 20, 13, 6, 7, 14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23, 30, 37, 44,
        51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63 };
    jpeg_compress_struct cinfo {};
    jpeg_error_mgr err;
    cinfo.err = jpeg_std_error(&err);
    jpeg_create_compress(&cinfo);
    cinfo.in_color_space = JCS_RGB;
    cinfo.input_components = 3;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    std::array<std::array<uint16_t, 64>, 2> tables {};
    for (int t = 0; t < 2; ++t)
        for (int i = 0; i < 64; ++i)
            tables[t][i] = cinfo.quant_tbl_ptrs[t]->quantval[kZigzag[i]];
    jpeg_destroy_compress(&cinfo);
    return tables;
}

// A plain libjpeg encode to a file of red-green-blue top-down rows, with the
// settings every saved image uses: the reference our own destination must match.
std::vector<uint8_t> ReferenceEncode(const std::string& path, const std::vector<uint8_t>& rgb, int width,
    int height, int quality)
{
    const test::BareJpeg jpeg { width, height, quality, JCS_RGB };
    const auto rowAt = [&](int y) { return const_cast<JSAMPROW>(&rgb[size_t(y) * size_t(width) * 3]); };
    if (!test::BareEncodeToFile(path, jpeg, rowAt))
        return {};
    return ReadBytes(path);
}

// The colours of a MakeFrame picture as its depth keeps them (grey keeps the
// red component, 5-5-5 the top five bits of each), as red-green-blue,
// top-down rows: what every saved image must show.
std::vector<uint8_t> KeptColours(int width, int height, int bitCount, uint32_t (*colour)(int x, int row))
{
    std::vector<uint8_t> rgb;
    for (int row = height - 1; row >= 0; --row) {
        for (int x = 0; x < width; ++x) {
            uint32_t c = colour(x, row);
            if (bitCount == 8)
                c = ((c >> 16) & 0xFF) * 0x010101u;
            else if (bitCount == 16)
                c &= 0xF8F8F8u;
            rgb.insert(rgb.end(), { uint8_t(c >> 16), uint8_t(c >> 8), uint8_t(c) });
        }
    }
    return rgb;
}

// Noise compresses badly: its file outgrows any first guess of the buffer.
uint32_t Noise(int x, int row)
{
    uint32_t v = uint32_t(x) * 2654435761u ^ uint32_t(row) * 40503u;
    v ^= v >> 13;
    v *= 0x5bd1e995u;
    return (v ^ (v >> 15)) & 0xFFFFFF;
}

class JpegTest : public ::testing::Test {
protected:
    std::string Path(const std::string& name) const { return (dir_.path() + "/").toStdString() + name; }
    std::string Folder() const { return dir_.path().toStdString(); }
    QTemporaryDir dir_;
};

TEST(ReadPixel, DecodesEachDepth)
{
    struct Case {
        int bitCount;
        std::vector<uint8_t> bytes;
        uint32_t expected;
    };
    const Case cases[] = {
        { 8, { 0x5A }, 0x5A5A5A }, // grey
        { 16, { 0x00, 0x7C }, 0xF80000 }, // red bits 10..14
        { 16, { 0xE0, 0x03 }, 0x00F800 },
        { 16, { 0x1F, 0x80 }, 0x0000F8 }, // top bit ignored
        { 24, { 0x01, 0x02, 0x03 }, 0x030201 },
        { 32, { 0x01, 0x02, 0x03, 0xFF }, 0x030201 }, // top byte cleared
    };
    for (const Case& c : cases) {
        auto frame = Frame::Create(2, 2, c.bitCount);
        std::fill(frame->data(), frame->data() + frame->size(), 0);
        const int bytes = c.bitCount / 8;
        // Pixel (1, 1): the second pixel of the second stored row.
        std::copy(c.bytes.begin(), c.bytes.end(), frame->data() + 3 * bytes);
        EXPECT_EQ(ReadPixel(*frame, 1, 1), c.expected) << c.bitCount << " bit";
        EXPECT_EQ(ReadPixel(*frame, 0, 1), 0u);
        EXPECT_EQ(ReadPixel(*frame, 2, 0), 0u) << "outside the row";
    }
    auto odd = Frame::Create(2, 2, 12);
    std::fill(odd->data(), odd->data() + odd->size(), 0xFF);
    EXPECT_EQ(ReadPixel(*odd, 0, 0), 0u);
}

// Each depth decodes to the picture as displayed: stored row 0 is the bottom.
TEST_F(JpegTest, EveryDepthDecodesUprightWithItsColours)
{
    const uint32_t top = 0xF0F0F0, bottom = 0x101010; // grey, so 8-bit frames carry it too
    const uint32_t leftTop = 0xF80000;
    for (int bitCount : { 8, 16, 24, 32 }) {
        auto frame = MakeFrame(64, 48, bitCount, [&](int x, int row) {
            if (row < 24)
                return bottom;
            return (x < 16 && bitCount != 8) ? leftTop : top;
        });
        const std::string path = Path("depth" + std::to_string(bitCount) + ".jpg");
        ASSERT_TRUE(SaveJpeg(*frame, path, 100)) << bitCount;
        Decoded image;
        ASSERT_TRUE(Decode(path, image));
        EXPECT_EQ(image.width, 64);
        EXPECT_EQ(image.height, 48);
        EXPECT_EQ(image.components, 3);
        EXPECT_TRUE(Near(image.At(40, 4), top, 6)) << bitCount << " " << std::hex << image.At(40, 4);
        EXPECT_TRUE(Near(image.At(40, 44), bottom, 6)) << bitCount;
        if (bitCount != 8) {
            EXPECT_TRUE(Near(image.At(4, 4), leftTop, 12)) << bitCount << " " << std::hex << image.At(4, 4);
        }
    }
}

// The stored rows given straight to libjpeg-turbo (24 and 32 bits) and the
// converted copy (8 and 16 bits) must make the very file that a plain libjpeg
// encode of the picture's colours, as its depth keeps them, makes.
TEST_F(JpegTest, EveryPathMatchesAPlainEncodeOfTheKeptColoursByteForByte)
{
    for (int bitCount : { 8, 16, 24, 32 }) {
        for (int quality : { 0, 75, 100 }) {
            auto frame = MakeFrame(67, 45, bitCount, Pattern);
            ASSERT_TRUE(SaveJpeg(*frame, Path("direct.jpg"), quality));
            EXPECT_EQ(ReadBytes(Path("direct.jpg")),
                      ReferenceEncode(Path("copy.jpg"), KeptColours(67, 45, bitCount, Pattern), 67, 45, quality))
                << bitCount << " bit q" << quality;
        }
    }
}

TEST_F(JpegTest, BaselineWithTheQualitysTables)
{
    auto frame = MakeFrame(32, 16, 24, Pattern);
    for (int quality : { 0, 50, 100 }) {
        const std::string path = Path("q" + std::to_string(quality) + ".jpg");
        ASSERT_TRUE(SaveJpeg(*frame, path, quality));
        const auto segments = Segments(ReadBytes(path));
        bool sof0 = false;
        std::vector<std::vector<uint16_t>> tables;
        for (const Segment& s : segments) {
            EXPECT_FALSE(s.marker >= 0xC1 && s.marker <= 0xCF && s.marker != 0xC4 && s.marker != 0xC8
                && s.marker != 0xCC)
                << "non-baseline frame marker " << int(s.marker);
            if (s.marker == 0xC0)
                sof0 = true;
            if (s.marker == 0xDB) {
                for (size_t i = 0; i + 65 <= s.body.size(); i += 65) {
                    EXPECT_EQ(s.body[i] >> 4, 0) << "8-bit table precision";
                    tables.emplace_back(s.body.begin() + i + 1, s.body.begin() + i + 65);
                }
            }
        }
        EXPECT_TRUE(sof0) << quality;
        const auto expected = ExpectedTables(quality);
        ASSERT_EQ(tables.size(), 2u);
        for (int t = 0; t < 2; ++t)
            EXPECT_TRUE(std::equal(tables[t].begin(), tables[t].end(), expected[t].begin()))
                << "quality " << quality << " table " << t;
    }
}

TEST_F(JpegTest, RefusesFramesItCannotRead)
{
    auto compressed = SolidFrame(16, 16, 24, 0x808080);
    compressed->header.bmi.biCompression = 1;
    auto shortBuffer = Frame::Allocate(16 * 16 * 3 - 1);
    shortBuffer->header = compressed->header;
    shortBuffer->header.bmi.biCompression = 0;
    auto twelveBit = Frame::Create(16, 16, 12);
    auto empty = Frame::Allocate(0);
    empty->header = shortBuffer->header;

    EXPECT_FALSE(SaveJpeg(*compressed, Path("a.jpg"), 75));
    EXPECT_FALSE(SaveJpeg(*shortBuffer, Path("a.jpg"), 75));
    EXPECT_FALSE(SaveJpeg(*twelveBit, Path("a.jpg"), 75));
    EXPECT_FALSE(SaveJpeg(*empty, Path("a.jpg"), 75));
    const uint8_t pixel[3] = {};
    EXPECT_FALSE(WriteJpegFile(Path("a.jpg"), nullptr, 1, 1, 75));
    EXPECT_FALSE(WriteJpegFile(Path("a.jpg"), pixel, 0, 1, 75));
    EXPECT_TRUE(FolderEntries(Folder()).empty());
}

// A failed save must keep the previous file whole and leave no temporary behind.
TEST_F(JpegTest, FailedSavesKeepTheOldFileAndLeaveNothingBehind)
{
    const std::string path = Path("Cam1A.jpg");
    auto frame = MakeFrame(40, 30, 24, Pattern);
    ASSERT_TRUE(SaveJpeg(*frame, path, 75));
    const auto before = ReadBytes(path);

    // libjpeg refuses an image wider than 65500 pixels inside jpeg_start_compress.
    auto tooWide = SolidFrame(70000, 1, 24, 0x123456);
    EXPECT_FALSE(SaveJpeg(*tooWide, path, 75));
    std::vector<uint8_t> wideRow(70000 * 3, 0x40);
    EXPECT_FALSE(WriteJpegFile(path, wideRow.data(), 70000, 1, 75));
    auto tooWideGrey = SolidFrame(70000, 1, 8, 0x404040);
    EXPECT_FALSE(SaveJpeg(*tooWideGrey, path, 75));

    EXPECT_EQ(ReadBytes(path), before);
    EXPECT_EQ(FolderEntries(Folder()), std::vector<std::string> { "Cam1A.jpg" });

    // The name is taken by a folder: the rename fails and the folder stays.
    fs::create_directory(Path("taken.jpg"));
    EXPECT_FALSE(SaveJpeg(*frame, Path("taken.jpg"), 75));
    EXPECT_TRUE(fs::is_directory(Path("taken.jpg")));
    EXPECT_TRUE(fs::is_empty(Path("taken.jpg")));
    EXPECT_EQ(FolderEntries(Folder()).size(), 2u);

    // A missing folder: nothing can be created.
    EXPECT_FALSE(SaveJpeg(*frame, Path("missing/Cam1A.jpg"), 75));
    EXPECT_FALSE(fs::exists(Path("missing")));
}

TEST_F(JpegTest, ReplacesAnExistingFileWithPlainPermissions)
{
    const std::string path = Path("Cam2B.jpg");
    { std::ofstream(path) << "old content"; }
    ASSERT_TRUE(SaveJpeg(*MakeFrame(20, 10, 32, Pattern), path, 90));
    Decoded image;
    ASSERT_TRUE(Decode(path, image));
    EXPECT_EQ(image.width, 20);

    // A new file gets what fopen would give it (0666 less the umask), not mkstemp's 0600.
    const std::string fresh = Path("fresh.jpg");
    ASSERT_TRUE(SaveJpeg(*MakeFrame(20, 10, 16, Pattern), fresh, 90));
    FILE* reference = std::fopen(Path("reference").c_str(), "wb");
    ASSERT_TRUE(reference);
    std::fclose(reference);
    struct stat saved {}, plain {};
    ASSERT_EQ(::stat(fresh.c_str(), &saved), 0);
    ASSERT_EQ(::stat(Path("reference").c_str(), &plain), 0);
    EXPECT_EQ(saved.st_mode & 0777, plain.st_mode & 0777);

    // A static file that is a link is written where the link points; the link stays.
    fs::create_symlink(fresh, Path("link.jpg"));
    ASSERT_TRUE(SaveJpeg(*MakeFrame(30, 10, 24, Pattern), Path("link.jpg"), 90));
    EXPECT_TRUE(fs::is_symlink(Path("link.jpg")));
    ASSERT_TRUE(Decode(fresh, image));
    EXPECT_EQ(image.width, 30);
}

// Someone who made the static file private, gave it to a group or linked it
// elsewhere keeps that after every save.
TEST_F(JpegTest, AReplacedFileKeepsItsModeGroupAndHardLinks)
{
    const std::string path = Path("Cam1A.jpg");
    ASSERT_TRUE(SaveJpeg(*MakeFrame(20, 10, 24, Pattern), path, 90));
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    // Root may give it any group; anyone else one of their own.
    gid_t group = ::getegid();
    if (::geteuid() == 0) {
        group = 4321;
    } else {
        gid_t groups[64];
        const int count = ::getgroups(64, groups);
        for (int i = 0; i < count; ++i)
            if (groups[i] != ::getegid())
                group = groups[i];
    }
    ASSERT_EQ(::chown(path.c_str(), uid_t(-1), group), 0);
    ASSERT_TRUE(SaveJpeg(*MakeFrame(30, 10, 24, Pattern), path, 90));
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_gid, group);
    Decoded image;
    ASSERT_TRUE(Decode(path, image));
    EXPECT_EQ(image.width, 30);

    // A hard link is one file under two names: both see every save.
    fs::create_hard_link(path, Path("web.jpg"));
    ASSERT_TRUE(SaveJpeg(*MakeFrame(40, 10, 24, Pattern), path, 90));
    EXPECT_TRUE(fs::equivalent(path, Path("web.jpg")));
    ASSERT_TRUE(Decode(Path("web.jpg"), image));
    EXPECT_EQ(image.width, 40);
    EXPECT_EQ(FolderEntries(Folder()).size(), 2u);
}

// The temporary name must fit wherever the final name fits.
TEST_F(JpegTest, ANameOfAnyValidLengthSaves)
{
    for (size_t length : { 243, 244, 250, 255 }) {
        const std::string path = Path(std::string(length - 4, 'c') + ".jpg");
        ASSERT_TRUE(SaveJpeg(*MakeFrame(20, 10, 24, Pattern), path, 90)) << length;
        ASSERT_TRUE(SaveJpeg(*MakeFrame(30, 10, 24, Pattern), path, 90)) << length << ", replaced";
        Decoded image;
        ASSERT_TRUE(Decode(path, image));
        EXPECT_EQ(image.width, 30);
        fs::remove(path);
    }
    EXPECT_TRUE(FolderEntries(Folder()).empty());
}

// A crash or a power cut between writing a temporary and renaming it leaves
// the temporary; the next run removes it, but never a save of its own.
TEST_F(JpegTest, LeftoverTemporariesOfEarlierRunsAreRemoved)
{
    const std::string longName = std::string(251, 'c') + ".jpg";
    const std::vector<std::string> leftovers = { ".Cam1A.jpg.tmp-AbC123", "." + longName.substr(0, 243) + ".tmp-zz9Z00" };
    const std::vector<std::string> kept = {
        "Cam1A.jpg", TemporaryName("Cam1A.jpg", 255), ".Cam1B.jpg.tmp-AbC123", ".Cam1A.jpg.tmp-AbC12",
        ".Cam1A.jpg.tmp-AbC12!", "Cam1A.jpg.tmp-AbC123", ".xCam1A.jpg.tmp-AbC123",
    };
    for (const auto& name : leftovers)
        std::ofstream(Path(name)) << "x";
    for (const auto& name : kept)
        std::ofstream(Path(name)) << "x";
    EXPECT_EQ(RemoveLeftoverTemporaries(Path("Cam1A.jpg")), 1);
    EXPECT_EQ(RemoveLeftoverTemporaries(Path(longName)), 1);
    auto left = FolderEntries(Folder());
    std::sort(left.begin(), left.end());
    auto expected = kept;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(left, expected);
}

// The bytes in memory are the file a plain libjpeg encode writes and the file
// SaveJpeg writes, whether the output fits the first buffer or has to grow,
// and whatever the vector held before.
TEST_F(JpegTest, EncodedBytesAreTheFileThatSaveJpegWrites)
{
    struct Case {
        int width, height, bitCount, quality;
        bool noise;
    };
    const Case cases[] = {
        { 67, 45, 8, 75, false },
        { 67, 45, 16, 75, false },
        { 67, 45, 24, 0, false },
        { 67, 45, 32, 100, false },
        { 640, 480, 24, 100, true }, // about 1 MB: grows many times
        { 333, 211, 16, 100, true },
        { 1, 1, 24, 75, false },
    };
    std::vector<uint8_t> bytes(300000, 0xEE); // old content must not leak into the result
    for (const Case& c : cases) {
        const auto frame = MakeFrame(c.width, c.height, c.bitCount, c.noise ? Noise : Pattern);
        const std::string where = std::to_string(c.width) + "x" + std::to_string(c.height) + " "
            + std::to_string(c.bitCount) + " bit q" + std::to_string(c.quality);
        ASSERT_TRUE(EncodeJpeg(*frame, c.quality, bytes)) << where;
        ASSERT_TRUE(SaveJpeg(*frame, Path("saved.jpg"), c.quality)) << where;
        EXPECT_EQ(bytes, ReadBytes(Path("saved.jpg"))) << where;
        const auto kept = KeptColours(c.width, c.height, c.bitCount, c.noise ? Noise : Pattern);
        EXPECT_EQ(bytes, ReferenceEncode(Path("reference.jpg"), kept, c.width, c.height, c.quality)) << where;
        ASSERT_GE(bytes.size(), 4u);
        EXPECT_EQ(bytes.back(), 0xD9) << where << ": ends with the end-of-image marker";
    }

    // A frame that cannot be encoded leaves nothing in the vector.
    EXPECT_FALSE(EncodeJpeg(*Frame::Create(16, 16, 12), 75, bytes));
    EXPECT_TRUE(bytes.empty());
    bytes.assign(10, 1);
    EXPECT_FALSE(EncodeJpeg(*SolidFrame(70000, 1, 24, 0x123456), 75, bytes)); // libjpeg refuses the width
    EXPECT_TRUE(bytes.empty());
}

TEST_F(JpegTest, WriteFileAtomicallyWritesExactlyTheBytes)
{
    std::vector<uint8_t> data(100000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = uint8_t(i * 31 + 7);
    const std::string path = Path("Cam1A.jpg");
    { std::ofstream(path) << std::string(200000, 'x'); } // longer than the new content
    ASSERT_TRUE(WriteFileAtomically(path, data.data(), data.size()));
    EXPECT_EQ(ReadBytes(path), data);

    // Through links, as SaveJpeg writes a linked static file, even when the
    // target does not exist yet; a relative link counts from its own folder.
    fs::create_directory(Path("real"));
    fs::create_symlink(Path("real/target.jpg"), Path("link.jpg"));
    fs::create_symlink("../link.jpg", Path("real/hop.jpg"));
    ASSERT_TRUE(WriteFileAtomically(Path("real/hop.jpg"), data.data(), 10));
    EXPECT_TRUE(fs::is_symlink(Path("link.jpg")));
    EXPECT_TRUE(fs::is_symlink(Path("real/hop.jpg")));
    EXPECT_EQ(ReadBytes(Path("real/target.jpg")), std::vector<uint8_t>(data.begin(), data.begin() + 10));
    std::vector<std::string> entries = FolderEntries(Path("real"));
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (std::vector<std::string> { "hop.jpg", "target.jpg" }));
}

// Every way a write can fail keeps the existing file whole and leaves no temporary.
TEST_F(JpegTest, FailedWritesKeepTheOldFileAndLeaveNothingBehind)
{
    const std::string path = Path("Cam1A.jpg");
    const std::vector<uint8_t> old(5000, 0x11);
    ASSERT_TRUE(WriteFileAtomically(path, old.data(), old.size()));
    const std::vector<uint8_t> data(64 * 1024, 0x22);

    // The disk fills up part way: the file-size limit makes write() fail after 4 KB.
    EXPECT_FALSE(WriteAtomicallyWithin(4096, path, data));
    EXPECT_EQ(ReadBytes(path), old);
    EXPECT_EQ(FolderEntries(Folder()), std::vector<std::string> { "Cam1A.jpg" });

    // A file with another hard link is written in place: a write that fails
    // part way puts the old bytes back, under both names.
    fs::create_hard_link(path, Path("web.jpg"));
    EXPECT_FALSE(WriteAtomicallyWithin(8192, path, data));
    EXPECT_EQ(ReadBytes(path), old);
    EXPECT_TRUE(fs::equivalent(path, Path("web.jpg")));
    fs::remove(Path("web.jpg"));

    // The name is a folder: the rename fails and the folder stays as it was.
    fs::create_directory(Path("taken.jpg"));
    EXPECT_FALSE(WriteFileAtomically(Path("taken.jpg"), data.data(), data.size()));
    EXPECT_TRUE(fs::is_empty(Path("taken.jpg")));

    // Nothing to write to, or nothing to write.
    const FileStatus missing = WriteFileAtomically(Path("missing/Cam1A.jpg"), data.data(), data.size());
    EXPECT_FALSE(missing);
    EXPECT_EQ(missing.error(), -ENOENT) << "the caller is told why";
    EXPECT_FALSE(WriteFileAtomically(Path(""), data.data(), data.size()));
    EXPECT_FALSE(WriteFileAtomically(path, nullptr, 10));

    EXPECT_EQ(ReadBytes(path), old);
    std::vector<std::string> entries = FolderEntries(Folder());
    std::sort(entries.begin(), entries.end());
    EXPECT_EQ(entries, (std::vector<std::string> { "Cam1A.jpg", "taken.jpg" }));
}

using JpegPermissions = test::Unprivileged<JpegTest>;

// A static file someone may write in a folder they may not add files to: it
// is overwritten in place, as a plain fopen would, rather than never saved.
TEST_F(JpegPermissions, AFolderThatRefusesATemporaryGetsItsFileWrittenInPlace)
{
    const std::string path = Path("Cam1A.jpg");
    ASSERT_TRUE(SaveJpeg(*MakeFrame(20, 10, 24, Pattern), path, 90));
    ASSERT_EQ(::chmod(Folder().c_str(), 0555), 0);
    const FileStatus replaced = SaveJpeg(*MakeFrame(30, 10, 24, Pattern), path, 90);
    const FileStatus created = SaveJpeg(*MakeFrame(30, 10, 24, Pattern), Path("new.jpg"), 90);
    // The disk fills up part way through: the last good picture is put back.
    const auto good = ReadBytes(path);
    const bool overfilled = WriteAtomicallyWithin(good.size() + 100, path, std::vector<uint8_t>(64 * 1024, 0x22));
    ASSERT_EQ(::chmod(Folder().c_str(), 0755), 0);
    EXPECT_TRUE(replaced);
    EXPECT_FALSE(created) << "a new file needs the folder";
    EXPECT_EQ(created.error(), -EACCES);
    EXPECT_FALSE(overfilled);
    ASSERT_EQ(ReadBytes(path), good);
    Decoded image;
    ASSERT_TRUE(Decode(path, image));
    EXPECT_EQ(image.width, 30);
    EXPECT_EQ(FolderEntries(Folder()), std::vector<std::string> { "Cam1A.jpg" });
}

} // namespace
} // namespace vistrel
