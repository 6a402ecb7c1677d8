#include "pipeline/jpeg.h"

#include "pipeline/pipeline_log.h"

#include <cerrno>
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <random>

#include <fcntl.h>
#include <unistd.h>

#include <jpeglib.h>

static_assert(JPEG_LIB_VERSION == 62, "the writer is built on the libjpeg 6b interface");

namespace vistrel {

namespace {

// Where libjpeg finds the scanlines: scanline i (top-down) starts at
// first + i * stride. A negative stride walks a bottom-up frame upwards.
struct RowSource {
    const uint8_t* first;
    ptrdiff_t stride;
    J_COLOR_SPACE space;
    int components;
};

struct ErrorManager {
    jpeg_error_mgr base; // first, so libjpeg's pointer is ours too
    jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void ErrorExit(j_common_ptr cinfo)
{
    auto* err = reinterpret_cast<ErrorManager*>(cinfo->err);
    err->base.format_message(cinfo, err->message);
    std::longjmp(err->jump, 1);
}

// Warnings would go to stderr; saving is silent.
void IgnoreMessage(j_common_ptr) {}

// The libjpeg part of a save. Nothing in this frame has a destructor and
// nothing read after a jump back is changed after setjmp, so the jump from
// ErrorExit is well defined.
bool Compress(FILE* file, int width, int height, int quality, const RowSource& rows, ErrorManager& err)
{
    jpeg_compress_struct cinfo {};
    cinfo.err = jpeg_std_error(&err.base);
    err.base.error_exit = ErrorExit;
    err.base.output_message = IgnoreMessage;
    err.message[0] = '\0';
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    jpeg_stdio_dest(&cinfo, file);
    cinfo.image_width = JDIMENSION(width);
    cinfo.image_height = JDIMENSION(height);
    cinfo.input_components = rows.components;
    cinfo.in_color_space = rows.space;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        // libjpeg only reads the rows; its interface is not const-correct.
        JSAMPROW row = const_cast<JSAMPROW>(rows.first + ptrdiff_t(cinfo.next_scanline) * rows.stride);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

// Creates ".<name>.tmp-XXXXXX" next to `path` with the permissions a plain
// fopen would give (0666 less the umask). The name never ends in ".jpg", so
// the archive thread never counts or deletes a file being written.
int CreateTemporary(const std::string& path, std::string& temporary)
{
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty())
        return -1;

    static constexpr char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::minstd_rand random(std::random_device {}());
    std::uniform_int_distribution<int> pick(0, int(sizeof(kChars)) - 2);
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string suffix(6, 'X');
        for (char& c : suffix)
            c = kChars[pick(random)];
        temporary = folder + "." + name + ".tmp-" + suffix;
        const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

// A path that is a symbolic link is written where the link points, as
// opening it for writing would; the link itself stays.
std::string Destination(const std::string& path)
{
    std::error_code error;
    if (!std::filesystem::is_symlink(std::filesystem::symlink_status(path, error)))
        return path;
    const std::filesystem::path target = std::filesystem::weakly_canonical(path, error);
    return error ? path : target.string();
}

// Writes the JPEG to a temporary file and renames it over `path` only when
// libjpeg and the close both succeeded, so a failed save never leaves a
// truncated static file or a half-written archive image behind.
bool EncodeToFile(const std::string& requestedPath, int width, int height, int quality, const RowSource& rows)
{
    const std::string path = Destination(requestedPath);
    std::string temporary;
    const int fd = CreateTemporary(path, temporary);
    if (fd < 0) {
        qCDebug(lcPipeline) << "cannot create a temporary file for" << path.c_str() << std::strerror(errno);
        return false;
    }
    FILE* file = ::fdopen(fd, "wb");
    if (!file) {
        ::close(fd);
        ::unlink(temporary.c_str());
        return false;
    }

    auto err = std::make_unique<ErrorManager>();
    bool ok = Compress(file, width, height, quality, rows, *err);
    if (!ok)
        qCDebug(lcPipeline) << "JPEG encoding failed for" << path.c_str() << err->message;
    if (std::fclose(file) != 0)
        ok = false;
    if (ok && ::rename(temporary.c_str(), path.c_str()) != 0) {
        qCDebug(lcPipeline) << "cannot rename onto" << path.c_str() << std::strerror(errno);
        ok = false;
    }
    if (!ok)
        ::unlink(temporary.c_str());
    return ok;
}

int BytesPerPixel(int bitCount)
{
    switch (bitCount) {
    case 8:
    case 16:
    case 24:
    case 32:
        return bitCount / 8;
    default:
        return 0;
    }
}

// True when the frame is uncompressed, of a depth we read, and its buffer
// holds at least width x height pixels.
bool Readable(const Frame& image)
{
    const int bytes = BytesPerPixel(image.bitCount());
    if (!image.data() || bytes == 0 || image.width() <= 0 || image.height() <= 0)
        return false;
    return image.size() >= size_t(image.width()) * size_t(image.height()) * size_t(bytes);
}

// Rows are addressed as ReadPixel does: image size / height bytes apart.
size_t RowStride(const Frame& image)
{
    return image.size() / size_t(image.height());
}

// The red-green-blue, top-down copy libjpeg gets for 8 and 16-bit frames,
// pixel for pixel what ReadPixel gives.
std::unique_ptr<uint8_t[]> RgbCopy(const Frame& image)
{
    const int width = image.width();
    const int height = image.height();
    std::unique_ptr<uint8_t[]> rgb(new (std::nothrow) uint8_t[size_t(width) * size_t(height) * 3]);
    if (!rgb)
        return nullptr;
    const size_t stride = RowStride(image);
    for (int y = 0; y < height; ++y) {
        const uint8_t* src = image.data() + size_t(height - 1 - y) * stride;
        uint8_t* dst = rgb.get() + size_t(y) * size_t(width) * 3;
        if (image.bitCount() == 8) {
            for (int x = 0; x < width; ++x)
                dst[3 * x] = dst[3 * x + 1] = dst[3 * x + 2] = src[x];
        } else {
            for (int x = 0; x < width; ++x) {
                const unsigned v = unsigned(src[2 * x]) | (unsigned(src[2 * x + 1]) << 8);
                dst[3 * x] = uint8_t(((v >> 10) & 31) << 3);
                dst[3 * x + 1] = uint8_t(((v >> 5) & 31) << 3);
                dst[3 * x + 2] = uint8_t((v & 31) << 3);
            }
        }
    }
    return rgb;
}

} // namespace

uint32_t ReadPixel(const Frame& image, int x, int y)
{
    const int bytes = BytesPerPixel(image.bitCount());
    if (!image.data() || bytes == 0 || image.height() <= 0 || x < 0 || y < 0 || x >= image.width()
        || y >= image.height())
        return 0;
    const size_t offset = size_t(y) * RowStride(image) + size_t(x) * size_t(bytes);
    if (offset + size_t(bytes) > image.size())
        return 0;
    const uint8_t* p = image.data() + offset;
    switch (bytes) {
    case 1:
        return uint32_t(p[0]) * 0x010101u; // grey
    case 2: {
        const uint32_t v = uint32_t(p[0]) | (uint32_t(p[1]) << 8);
        return (((v >> 10) & 31) << 19) | (((v >> 5) & 31) << 11) | ((v & 31) << 3);
    }
    default: // 24 bits, or 32 with the top byte cleared
        return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16);
    }
}

bool WriteJpegFile(const std::string& path, const uint8_t* rgb, int width, int height, int quality)
{
    if (!rgb || width <= 0 || height <= 0)
        return false;
    const RowSource rows { rgb, ptrdiff_t(width) * 3, JCS_RGB, 3 };
    return EncodeToFile(path, width, height, quality, rows);
}

bool SaveJpeg(const Frame& image, const std::string& path, int quality)
{
    if (image.size() < 1 || image.header.bmi.biCompression != 0 || !Readable(image))
        return false;

    const int width = image.width();
    const int height = image.height();
    switch (image.bitCount()) {
    case 24:
    case 32: {
        // libjpeg-turbo reads blue-green-red(-unused) bytes itself, so the
        // stored rows go in directly, walked from the last one (the top) up:
        // the same file as a swapped and flipped red-green-blue copy, without the copy.
        const ptrdiff_t stride = ptrdiff_t(RowStride(image));
        const RowSource rows { image.data() + (height - 1) * stride, -stride,
            image.bitCount() == 24 ? JCS_EXT_BGR : JCS_EXT_BGRX, image.bitCount() / 8 };
        return EncodeToFile(path, width, height, quality, rows);
    }
    default: {
        const std::unique_ptr<uint8_t[]> rgb = RgbCopy(image);
        return rgb && WriteJpegFile(path, rgb.get(), width, height, quality);
    }
    }
}

} // namespace vistrel
