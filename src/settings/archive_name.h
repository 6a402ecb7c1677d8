// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <atomic>
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
// form) and orders before all others. Eight bytes on a four-byte boundary,
// so the review's index keeps a million of them, each with a size, in
// twelve bytes an image.
struct ArchiveStamp {
    static constexpr uint32_t kNone = UINT32_MAX; // as a sequence: no stamp

    constexpr ArchiveStamp() = default;
    // A number past 32 bits is held as the largest there is: still last in its second.
    constexpr ArchiveStamp(uint32_t time, uint64_t number)
        : seconds(time)
        , sequence(number < kNone ? uint32_t(number) : kNone - 1)
    {
    }

    constexpr bool Valid() const { return sequence != kNone; }

    // Spelt out rather than <=>: <compare> is more than Qt's moc can read,
    // and windows' headers include this one.
    friend constexpr bool operator==(ArchiveStamp a, ArchiveStamp b) { return a.Ordinal() == b.Ordinal(); }
    friend constexpr bool operator!=(ArchiveStamp a, ArchiveStamp b) { return a.Ordinal() != b.Ordinal(); }
    friend constexpr bool operator<(ArchiveStamp a, ArchiveStamp b) { return a.Ordinal() < b.Ordinal(); }
    friend constexpr bool operator>(ArchiveStamp a, ArchiveStamp b) { return a.Ordinal() > b.Ordinal(); }
    friend constexpr bool operator<=(ArchiveStamp a, ArchiveStamp b) { return a.Ordinal() <= b.Ordinal(); }
    friend constexpr bool operator>=(ArchiveStamp a, ArchiveStamp b) { return a.Ordinal() >= b.Ordinal(); }

    uint32_t seconds = 0;      // the save time, since 1970 (UTC)
    uint32_t sequence = kNone; // the collision number within that second

private:
    // None is 0, every stamp above it.
    constexpr uint64_t Ordinal() const { return uint64_t(seconds) << 32 | uint32_t(sequence + 1); }
};
static_assert(sizeof(ArchiveStamp) == 8 && alignof(ArchiveStamp) == 4);

// A stamp shared between threads without a lock, held as one 64-bit word
// (a std::atomic of the four-byte aligned stamp itself is not lock-free
// everywhere). Any thread may call it.
class AtomicArchiveStamp {
public:
    ArchiveStamp load() const { return Unpack(word_.load()); }
    void store(ArchiveStamp stamp) { word_.store(Pack(stamp)); }
    // As std::atomic's: `expected` gets the stamp held when it was not that.
    bool compare_exchange_strong(ArchiveStamp& expected, ArchiveStamp desired)
    {
        uint64_t word = Pack(expected);
        const bool exchanged = word_.compare_exchange_strong(word, Pack(desired));
        expected = Unpack(word);
        return exchanged;
    }

private:
    static constexpr uint64_t Pack(ArchiveStamp stamp) { return uint64_t(stamp.seconds) << 32 | stamp.sequence; }
    static constexpr ArchiveStamp Unpack(uint64_t word)
    {
        ArchiveStamp stamp;
        stamp.seconds = uint32_t(word >> 32);
        stamp.sequence = uint32_t(word);
        return stamp;
    }

    std::atomic<uint64_t> word_{Pack(ArchiveStamp())};
};
static_assert(std::atomic<uint64_t>::is_always_lock_free);

// "-Cam%d%c.jpg": the end of every archive name of one camera of one
// instance. The image thread names images with it; the archive thread
// counts and deletes only names that end with it.
std::string ArchiveSuffix(int instance, int camera);

// The file name of image `number` of second `time`.
std::string ArchiveFileName(uint32_t time, uint32_t number, int instance, int camera);
// The same for a stamp and the suffix of its camera.
std::string ArchiveFileName(ArchiveStamp stamp, std::string_view suffix);

// The stamp of a file name, read by the rule above from the digits it starts
// with; none for fewer than two digits, or a time past 32 bits.
ArchiveStamp ArchiveNameStamp(std::string_view name);

// The stamp of a name exactly as ArchiveFileName makes it with `suffix`; none
// for any other name (another camera's, leading zeros, anything after the
// digits but the suffix): only such names are ever served or shown by name.
ArchiveStamp ArchiveFileStamp(std::string_view name, std::string_view suffix);

} // namespace vistrel
