#pragma once

#include <compare>
#include <cstdint>
#include <string>
#include <string_view>

namespace vistrel {

// Archive image names, "<time><number>-Cam<instance><letter>.jpg": the save
// time in seconds since 1970 in decimal, with the collision number of that
// second written right behind it. They are made and read here only; any
// thread may call these.
//
// Reading a name back: with eleven or more leading digits the first ten are
// the time and the rest the number; with ten or fewer the last digit is the
// number and the rest the time. So every name saved from September 2001 on
// reads back exactly, and so does every earlier one (a clock that started at
// 1970 on a board without a real-time clock) but the eleventh image and later
// of one second, which reads as a later time.

// An archive image's place in time: the time and number its name carries,
// ordered by time, then number. A default stamp is none (a name of another
// form) and orders before all others. Eight bytes, so an atomic of it is lock-free.
class ArchiveStamp {
public:
    constexpr ArchiveStamp() = default;
    // A number past 32 bits is held as the largest there is: still last in its second.
    constexpr ArchiveStamp(uint32_t time, uint64_t number)
        : value_(((uint64_t(time) << 32) | (number < kLargestNumber ? number : kLargestNumber)) + 1)
    {
    }

    constexpr bool Valid() const { return value_ != 0; }
    constexpr uint32_t Time() const { return uint32_t((value_ - 1) >> 32); }
    constexpr uint32_t Number() const { return uint32_t(value_ - 1); }

    friend constexpr auto operator<=>(const ArchiveStamp&, const ArchiveStamp&) = default;

private:
    static constexpr uint64_t kLargestNumber = 0xFFFFFFFEu;
    uint64_t value_ = 0; // the time in the upper half and the number below, plus one: 0 is none
};

// "-Cam%d%c.jpg": the end of every archive name of one camera of one
// instance. The image thread names images with it; the archive thread
// counts and deletes only names that end with it.
std::string ArchiveSuffix(int instance, int camera);

// The file name of image `number` of second `time`.
std::string ArchiveFileName(uint32_t time, uint32_t number, int instance, int camera);

// The stamp of a file name, read by the rule above from the digits it starts
// with; none for fewer than two digits, or a time past 32 bits.
ArchiveStamp ArchiveNameStamp(std::string_view name);

} // namespace vistrel
