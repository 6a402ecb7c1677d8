// SPDX-License-Identifier: GPL-3.0-or-later
#include "review/zip_writer.h"

#include "common/write_all.h"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <limits>

#include <zlib.h>

namespace vistrel {

namespace {

constexpr uint32_t kLocalHeader = 0x04034b50;
constexpr uint32_t kCentralHeader = 0x02014b50;
constexpr uint32_t kEnd = 0x06054b50;
constexpr uint32_t kEnd64 = 0x06064b50;
constexpr uint32_t kEnd64Locator = 0x07064b50;
constexpr uint16_t kZip64Extra = 0x0001;
constexpr uint16_t kVersion = 20;   // stored entries
constexpr uint16_t kVersion64 = 45; // ZIP64 records
constexpr uint16_t kMadeByUnix = 3 << 8;
constexpr uint32_t kFileMode = 0100644;

// Little-endian fields appended to a byte buffer.
class Record {
public:
    Record& u16(uint16_t v) { return bytes(v, 2); }
    Record& u32(uint32_t v) { return bytes(v, 4); }
    Record& u64(uint64_t v) { return bytes(v, 8); }
    Record& text(std::string_view s)
    {
        data_.insert(data_.end(), s.begin(), s.end());
        return *this;
    }
    const std::vector<uint8_t>& data() const { return data_; }

private:
    Record& bytes(uint64_t v, int n)
    {
        for (int i = 0; i < n; ++i)
            data_.push_back(uint8_t(v >> (8 * i)));
        return *this;
    }
    std::vector<uint8_t> data_;
};

// MS-DOS date and time, local, two seconds apart; 1980 at the earliest.
uint32_t DosTime(int64_t seconds)
{
    const std::time_t t = std::time_t(seconds);
    std::tm local{};
    localtime_r(&t, &local);
    if (local.tm_year < 80)
        return (1u << 5 | 1u) << 16; // 1980-01-01 00:00
    const uint32_t date = uint32_t((local.tm_year - 80) << 9 | (local.tm_mon + 1) << 5 | local.tm_mday);
    const uint32_t time = uint32_t(local.tm_hour << 11 | local.tm_min << 5 | local.tm_sec / 2);
    return date << 16 | time;
}

} // namespace

ZipWriter::ZipWriter(int fd)
    : fd_(fd)
{
}

bool ZipWriter::Write(const void* data, size_t size)
{
    if (const FileStatus written = WriteAll(fd_, data, size); !written) {
        error_ = -written.error();
        return false;
    }
    offset_ += size;
    return true;
}

bool ZipWriter::Add(std::string_view name, const uint8_t* data, size_t size, int64_t modifiedSeconds)
{
    if (size >= std::numeric_limits<uint32_t>::max() || name.size() > std::numeric_limits<uint16_t>::max()) {
        error_ = EFBIG;
        return false;
    }
    Entry entry;
    entry.offset = offset_;
    entry.crc = uint32_t(crc32_z(crc32_z(0, nullptr, 0), data, size));
    entry.size = uint32_t(size);
    entry.dosTime = DosTime(modifiedSeconds);

    Record header;
    header.u32(kLocalHeader).u16(kVersion).u16(0).u16(0) // flags, method: stored
        .u16(uint16_t(entry.dosTime)).u16(uint16_t(entry.dosTime >> 16))
        .u32(entry.crc).u32(entry.size).u32(entry.size)
        .u16(uint16_t(name.size())).u16(0).text(name);
    if (!Write(header.data().data(), header.data().size()) || !Write(data, size))
        return false;
    entries_.push_back(entry);
    return true;
}

bool ZipWriter::Finish(const std::function<std::string(size_t)>& nameOf)
{
    constexpr uint32_t kMax32 = std::numeric_limits<uint32_t>::max();
    constexpr uint16_t kMax16 = std::numeric_limits<uint16_t>::max();
    const uint64_t directoryStart = offset_;
    Record directory;
    for (size_t i = 0; i < entries_.size(); ++i) {
        const Entry& entry = entries_[i];
        const std::string name = nameOf(i);
        const bool far = entry.offset >= kMax32;
        directory.u32(kCentralHeader).u16(kMadeByUnix | (far ? kVersion64 : kVersion))
            .u16(far ? kVersion64 : kVersion).u16(0).u16(0)
            .u16(uint16_t(entry.dosTime)).u16(uint16_t(entry.dosTime >> 16))
            .u32(entry.crc).u32(entry.size).u32(entry.size)
            .u16(uint16_t(name.size())).u16(far ? 12 : 0).u16(0) // comment
            .u16(0).u16(0).u32(kFileMode << 16)                  // disk, internal and external attributes
            .u32(far ? kMax32 : uint32_t(entry.offset)).text(name);
        if (far)
            directory.u16(kZip64Extra).u16(8).u64(entry.offset);
        // Written in slices: the directory of a million entries is large.
        if (directory.data().size() >= (1 << 20) || i + 1 == entries_.size()) {
            if (!Write(directory.data().data(), directory.data().size()))
                return false;
            directory = Record();
        }
    }
    const uint64_t directorySize = offset_ - directoryStart;
    const uint64_t count = entries_.size();

    Record end;
    const bool zip64 = count >= kMax16 || directoryStart >= kMax32 || directorySize >= kMax32;
    if (zip64) {
        const uint64_t end64At = offset_;
        end.u32(kEnd64).u64(44).u16(kMadeByUnix | kVersion64).u16(kVersion64).u32(0).u32(0)
            .u64(count).u64(count).u64(directorySize).u64(directoryStart);
        end.u32(kEnd64Locator).u32(0).u64(end64At).u32(1);
    }
    // Fields that overflow read all ones: the ZIP64 record holds them.
    const auto count16 = uint16_t(std::min<uint64_t>(count, kMax16));
    end.u32(kEnd).u16(0).u16(0).u16(count16).u16(count16)
        .u32(uint32_t(std::min<uint64_t>(directorySize, kMax32)))
        .u32(uint32_t(std::min<uint64_t>(directoryStart, kMax32)))
        .u16(0);
    return Write(end.data().data(), end.data().size());
}

} // namespace vistrel
