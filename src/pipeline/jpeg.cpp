// SPDX-License-Identifier: GPL-3.0-or-later
#include "pipeline/jpeg.h"

#include "common/temporary_name.h"
#include "common/write_all.h"
#include "pipeline/pipeline_log.h"

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <new>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <jpeglib.h>
#include <jerror.h>

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

// libjpeg's output goes straight into a vector that grows as needed: no
// FILE and no copy, so the bytes can be kept or written anywhere.
struct VectorDestination {
    jpeg_destination_mgr base; // first, so libjpeg's pointer is ours too
    std::vector<uint8_t>* out;
};

// Grows the vector to `size` bytes; false when memory runs out. No exception
// may cross libjpeg's C frames, and no C++ object may be alive in the frame
// that ERREXIT jumps out of, hence this helper.
bool Grow(std::vector<uint8_t>& out, size_t size) noexcept
{
    try {
        out.resize(size);
        return true;
    } catch (...) {
        return false;
    }
}

void InitDestination(j_compress_ptr cinfo)
{
    auto* dest = reinterpret_cast<VectorDestination*>(cinfo->dest);
    std::vector<uint8_t>& out = *dest->out;
    // A first guess of one sixteenth of the raw picture, or the room the vector
    // already has; most saves then never grow.
    const size_t guess = size_t(cinfo->image_width) * cinfo->image_height * size_t(cinfo->input_components) / 16;
    out.clear();
    if (!Grow(out, std::max({ out.capacity(), guess, size_t(16 * 1024) })))
        ERREXIT(cinfo, JERR_OUT_OF_MEMORY);
    dest->base.next_output_byte = out.data();
    dest->base.free_in_buffer = out.size();
}

// Called only when the whole buffer is used.
boolean EmptyOutputBuffer(j_compress_ptr cinfo)
{
    auto* dest = reinterpret_cast<VectorDestination*>(cinfo->dest);
    std::vector<uint8_t>& out = *dest->out;
    const size_t used = out.size();
    if (!Grow(out, used * 2))
        ERREXIT(cinfo, JERR_OUT_OF_MEMORY);
    dest->base.next_output_byte = out.data() + used;
    dest->base.free_in_buffer = out.size() - used;
    return TRUE;
}

void TermDestination(j_compress_ptr cinfo)
{
    auto* dest = reinterpret_cast<VectorDestination*>(cinfo->dest);
    dest->out->resize(dest->out->size() - dest->base.free_in_buffer); // shrinks: never allocates
}

// The libjpeg part of a save. Nothing in this frame has a destructor and
// nothing read after a jump back is changed after setjmp, so the jump from
// ErrorExit is well defined.
bool Compress(std::vector<uint8_t>& out, int width, int height, int quality, const RowSource& rows, ErrorManager& err)
{
    jpeg_compress_struct cinfo {};
    VectorDestination dest {};
    dest.base.init_destination = InitDestination;
    dest.base.empty_output_buffer = EmptyOutputBuffer;
    dest.base.term_destination = TermDestination;
    dest.out = &out;
    cinfo.err = jpeg_std_error(&err.base);
    err.base.error_exit = ErrorExit;
    err.base.output_message = IgnoreMessage;
    err.message[0] = '\0';
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    cinfo.dest = &dest.base;
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

bool EncodeRows(int width, int height, int quality, const RowSource& rows, std::vector<uint8_t>& out)
{
    auto err = std::make_unique<ErrorManager>();
    if (Compress(out, width, height, quality, rows, *err))
        return true;
    qCDebug(lcPipeline) << "JPEG encoding failed:" << err->message;
    out.clear();
    return false;
}

// The longest file name the folder takes.
size_t NameMax(const std::string& folder)
{
    const long max = ::pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
    return max > 0 ? size_t(max) : 255;
}

// Splits `path` into its folder (with its '/') and its file name.
void SplitPath(const std::string& path, std::string& folder, std::string& name)
{
    const size_t slash = path.rfind('/');
    folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    name = slash == std::string::npos ? path : path.substr(slash + 1);
}

// Creates this process's temporary for `path` with the permissions a plain
// fopen would give (0666 less the umask): its descriptor, or -errno.
int CreateTemporary(const std::string& path, std::string& temporary)
{
    std::string folder, name;
    SplitPath(path, folder, name);
    if (name.empty())
        return -EINVAL;
    temporary = folder + TemporaryName(name, NameMax(folder));
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EEXIST) {
        // Only a save of ours that never finished has this name: it is stale.
        ::unlink(temporary.c_str());
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    }
    return fd >= 0 ? fd : -errno;
}

// Gives the new file the owner, group and mode of the one it replaces.
// False where that is not permitted: the file must then be written in place.
bool TakeOver(int fd, const struct stat& old)
{
    struct stat fresh {};
    if (::fstat(fd, &fresh) != 0)
        return false;
    // Owner and group first: a change of them clears the set-id bits.
    if ((fresh.st_uid != old.st_uid || fresh.st_gid != old.st_gid)
        && ::fchown(fd, fresh.st_uid != old.st_uid ? old.st_uid : uid_t(-1),
                    fresh.st_gid != old.st_gid ? old.st_gid : gid_t(-1)) != 0)
        return false;
    return (fresh.st_mode & 07777) == (old.st_mode & 07777) || ::fchmod(fd, old.st_mode & 07777) == 0;
}

// The largest file written over in place: its old bytes are held meanwhile.
constexpr off_t kMaxInPlaceBytes = 64 << 20;

// Reads `size` bytes from the start of `fd`.
FileStatus ReadAllAt(int fd, uint8_t* data, size_t size)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t got = ::pread(fd, data + done, size - done, off_t(done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return FileStatus::Failed(errno);
        if (got == 0)
            return FileStatus::Failed(EIO); // it shrank meanwhile
        done += size_t(got);
    }
    return {};
}

// Overwrites the existing file itself, as a plain fopen would: links, owner,
// group and mode stay. It is never left cut short: room for the new bytes is
// taken first, so a full disk leaves it untouched, and a write that fails
// part way all the same puts the old bytes back (their blocks are still the
// file's). The size is cut only after the new content is in.
FileStatus WriteInPlace(const std::string& path, const uint8_t* data, size_t size)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return FileStatus::Failed(errno);
    const auto fail = [fd](FileStatus status) {
        ::close(fd);
        return status;
    };
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return fail(FileStatus::Failed(errno));
    if (!S_ISREG(st.st_mode))
        return fail(FileStatus::Failed(EINVAL));
    if (st.st_size > kMaxInPlaceBytes)
        return fail(FileStatus::Failed(EFBIG));
    std::vector<uint8_t> old;
    if (!Grow(old, size_t(st.st_size)))
        return fail(FileStatus::Failed(ENOMEM));
    if (const FileStatus read = ReadAllAt(fd, old.data(), old.size()); !read)
        return fail(read);
    if (size > old.size() && ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, off_t(size)) != 0 && errno != EOPNOTSUPP)
        return fail(FileStatus::Failed(errno));

    FileStatus written = WriteAll(fd, data, size);
    if (written && ::ftruncate(fd, off_t(size)) != 0)
        written = FileStatus::Failed(errno);
    if (written)
        return ::close(fd) == 0 ? FileStatus() : FileStatus::Failed(errno);
    FileStatus restored
        = ::lseek(fd, 0, SEEK_SET) == 0 ? WriteAll(fd, old.data(), old.size()) : FileStatus::Failed(errno);
    if (restored && ::ftruncate(fd, st.st_size) != 0)
        restored = FileStatus::Failed(errno);
    if (!restored)
        qCDebug(lcPipeline) << "could not put back the old content of" << path.c_str() << restored.Reason().c_str();
    return fail(written);
}

// A path that is a symbolic link is written where the link points, as
// opening it for writing would; the link itself stays. A link whose target
// does not exist yet creates that target rather than being replaced.
std::string Destination(const std::string& path)
{
    namespace fs = std::filesystem;
    std::error_code error;
    fs::path current(path);
    // The kernel's own limit of links in a row; a loop of links is replaced by the file.
    for (int hops = 0; fs::is_symlink(fs::symlink_status(current, error)); ++hops) {
        if (hops == 40)
            return path;
        const fs::path target = fs::read_symlink(current, error);
        if (error)
            return path;
        current = target.is_absolute() ? target : current.parent_path() / target;
    }
    return current.string();
}

// Encodes into memory and writes the file in one piece.
FileStatus EncodeToFile(const std::string& path, int width, int height, int quality, const RowSource& rows)
{
    std::vector<uint8_t> bytes;
    if (!EncodeRows(width, height, quality, rows, bytes))
        return FileStatus::NothingToWrite();
    return WriteFileAtomically(path, bytes.data(), bytes.size());
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

FileStatus WriteJpegFile(const std::string& path, const uint8_t* rgb, int width, int height, int quality)
{
    if (!rgb || width <= 0 || height <= 0)
        return FileStatus::NothingToWrite();
    const RowSource rows { rgb, ptrdiff_t(width) * 3, JCS_RGB, 3 };
    return EncodeToFile(path, width, height, quality, rows);
}

bool EncodeJpeg(const Frame& image, int quality, std::vector<uint8_t>& out)
{
    out.clear();
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
        return EncodeRows(width, height, quality, rows, out);
    }
    default: {
        const std::unique_ptr<uint8_t[]> rgb = RgbCopy(image);
        if (!rgb)
            return false;
        const RowSource rows { rgb.get(), ptrdiff_t(width) * 3, JCS_RGB, 3 };
        return EncodeRows(width, height, quality, rows, out);
    }
    }
}

FileStatus SaveJpeg(const Frame& image, const std::string& path, int quality)
{
    std::vector<uint8_t> bytes;
    if (!EncodeJpeg(image, quality, bytes))
        return FileStatus::NothingToWrite();
    return WriteFileAtomically(path, bytes.data(), bytes.size());
}

// Writes to a temporary file and renames it over `path` only when the write
// and the close both succeeded, so a failed save never leaves a truncated
// static file or a half-written archive image behind. A file with other hard
// links, or one whose owner, group or mode a new file could not keep, or one
// in a folder that refuses us the temporary, is written in place instead.
FileStatus WriteFileAtomically(const std::string& requestedPath, const uint8_t* data, size_t size)
{
    if (!data && size != 0)
        return FileStatus::Failed(EINVAL);
    const std::string path = Destination(requestedPath);
    struct stat old {};
    const bool replacing = ::stat(path.c_str(), &old) == 0 && S_ISREG(old.st_mode);
    if (replacing && old.st_nlink > 1)
        return WriteInPlace(path, data, size);

    std::string temporary;
    const int fd = CreateTemporary(path, temporary);
    if (fd < 0) {
        const FileStatus created = FileStatus::Failed(-fd);
        qCDebug(lcPipeline) << "cannot create a temporary file for" << path.c_str() << created.Reason().c_str();
        // Only a folder that refuses new files to us; on a full disk (or any
        // other fault) the old file is kept as it is.
        if (replacing && (fd == -EACCES || fd == -EPERM))
            return WriteInPlace(path, data, size);
        return created;
    }
    if (replacing && !TakeOver(fd, old)) {
        ::close(fd);
        ::unlink(temporary.c_str());
        return WriteInPlace(path, data, size);
    }
    FileStatus written = WriteAll(fd, data, size);
    if (::close(fd) != 0 && written)
        written = FileStatus::Failed(errno);
    if (written && ::rename(temporary.c_str(), path.c_str()) != 0)
        written = FileStatus::Failed(errno);
    if (!written) {
        qCDebug(lcPipeline) << "cannot write" << path.c_str() << written.Reason().c_str();
        ::unlink(temporary.c_str());
    }
    return written;
}

int RemoveLeftoverTemporaries(const std::string& path)
{
    std::string folder, name;
    SplitPath(path, folder, name);
    if (name.empty())
        return 0;
    DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
    if (!dir)
        return 0;
    const size_t nameMax = NameMax(folder);
    int removed = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (IsLeftoverTemporaryOf(entry->d_name, name, nameMax) && ::unlinkat(::dirfd(dir), entry->d_name, 0) == 0)
            ++removed;
    }
    ::closedir(dir);
    return removed;
}

} // namespace vistrel
