// The spool reader. The window slides over the file with pread; lines are cut out of it by
// position, and only a line longer than the window is handed out in parts.
#include "message/spool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "base/fdio.h"
#include "base/path.h"

namespace sendal {
namespace {

// Moves the unread bytes to the front and reads more behind them. False when nothing more
// could be read (the end of the file, a read error, or a full window).
bool ReadMore(SpoolReader& r) {
    if (r.atEnd || r.readFailed) return false;
    // Read up to the size it had when loaded: a file that grew since is changed, and the
    // check before its deletion says so; a small file then stays whole in the window.
    if (r.offset >= r.loaded.st_size) {
        r.atEnd = true;
        return false;
    }
    std::memmove(r.window.data(), r.window.data() + r.start, r.end - r.start);
    r.end -= r.start;
    r.start = 0;
    if (r.end == r.window.size()) return false;
    for (;;) {
        ssize_t got = ::pread(r.fd.Get(), r.window.data() + r.end, r.window.size() - r.end,
                              r.offset);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) r.readFailed = true;
        if (got <= 0) {
            r.atEnd = true;
            return false;
        }
        r.end += static_cast<std::size_t>(got);
        r.offset += got;
        return true;
    }
}

// Hands out `length` bytes from the window start and consumes `consumed` bytes.
void TakePart(SpoolReader& r, std::string& part, std::size_t length, std::size_t consumed) {
    part.assign(r.window.data() + r.start, length);
    r.start += consumed;
}


off_t Absolute(const SpoolReader& r, std::size_t windowOffset) {
    return r.offset - static_cast<off_t>(r.end) + static_cast<off_t>(windowOffset);
}

// The run of CRs that begins at window offset `at` (or the known one it lies in).
const CrRun& RunAt(SpoolReader& r, std::size_t at) {
    off_t position = Absolute(r, at);
    if (position >= r.knownRun.start && position < r.knownRun.end) return r.knownRun;
    std::size_t after = at;
    while (after < r.end && r.window[after] == '\r') ++after;
    r.knownRun.start = position;
    r.knownRun.end = Absolute(r, after);
    if (after < r.end) {
        r.knownRun.next = r.window[after] == '\n' ? CrRun::BeforeLf : CrRun::BeforeOther;
        return r.knownRun;
    }
    // The run goes on past the window: look ahead in the file without moving the window.
    char block[4096];
    for (;;) {
        ssize_t got = r.atEnd ? 0 : ::pread(r.fd.Get(), block, sizeof block, r.knownRun.end);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            r.knownRun.next = CrRun::AtFileEnd;
            return r.knownRun;
        }
        ssize_t i = 0;
        while (i < got && block[i] == '\r') ++i;
        r.knownRun.end += i;
        if (i < got) {
            r.knownRun.next = block[i] == '\n' ? CrRun::BeforeLf : CrRun::BeforeOther;
            return r.knownRun;
        }
    }
}

// Consumes the unread bytes up to the absolute offset `to`, which may lie beyond the window.
void SkipTo(SpoolReader& r, off_t to) {
    if (to <= r.offset) {
        r.start = r.end - static_cast<std::size_t>(r.offset - to);
        return;
    }
    r.start = r.end = 0;
    r.offset = to;
}

// The line that ends at window offset `end` (from r.start), a CR or LF.
void CutAtLineEnd(SpoolReader& r, std::string& part, std::size_t end) {
    std::size_t at = r.start + end;
    if (r.window[at] == '\n') {
        TakePart(r, part, end, end + 1);
        return;
    }
    const CrRun& run = RunAt(r, at);
    part.assign(r.window.data() + r.start, end);
    if (run.next == CrRun::BeforeLf && Absolute(r, at) == run.start)
        SkipTo(r, run.end + 1);  // the CRs before an LF belong to its line end
    else if (run.next == CrRun::AtFileEnd && Absolute(r, at) == run.start)
        SkipTo(r, run.end);      // CRs up to the end of the file end the last line
    else
        r.start = at + 1;  // a CR alone ends the line
}

}  // namespace

namespace {

bool SameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Whether another process still writes the file: the kernel grants no read lease then. Where
// no lease can be had, a file changed in the last seconds counts as still being written.
bool BeingWritten(int fd, const struct stat& info) {
    if (::fcntl(fd, F_SETLEASE, F_RDLCK) == 0) {
        ::fcntl(fd, F_SETLEASE, F_UNLCK);  // held, it would make the writer wait for us
        return false;
    }
    if (errno == EAGAIN) return true;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec - info.st_mtim.tv_sec < SpoolSettleSeconds;
}

}  // namespace

SpoolLoad LoadSpoolFile(SpoolReader& r, const std::string& path) {
    // O_NONBLOCK keeps a FIFO that slipped past the directory search from blocking the open.
    constexpr int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW;
    r.fd.Reset(::open(PlainPath(path).c_str(), flags));
    if (!r.fd.Valid() && errno == ENOENT) r.fd.Reset(::open(ResolvePath(path).c_str(), flags));
    SpoolLoad result = SpoolLoad::Loaded;
    if (!r.fd.Valid())
        result = errno == ELOOP ? SpoolLoad::Linked : SpoolLoad::Unreadable;
    else if (::fstat(r.fd.Get(), &r.loaded) != 0 || !S_ISREG(r.loaded.st_mode))
        result = SpoolLoad::Unreadable;
    else if (BeingWritten(r.fd.Get(), r.loaded))
        result = SpoolLoad::Busy;
    if (result != SpoolLoad::Loaded) r.fd.Reset();
    r.window.resize(WindowSize);
    r.start = r.end = 0;  // nothing of the file before is read again
    r.offset = 0;
    r.atEnd = !r.fd.Valid();
    r.readFailed = false;
    RewindSpool(r);
    return result;
}

bool SpoolFileChanged(const SpoolReader& r) {
    struct stat now {};
    if (!r.fd.Valid() || ::fstat(r.fd.Get(), &now) != 0) return true;
    return now.st_size != r.loaded.st_size || !SameTime(now.st_mtim, r.loaded.st_mtim) ||
           now.st_ino != r.loaded.st_ino;
}

SpoolIdentity LoadedSpoolIdentity(const SpoolReader& r) {
    return {static_cast<unsigned long>(r.loaded.st_dev), static_cast<unsigned long>(r.loaded.st_ino),
            static_cast<std::int64_t>(r.loaded.st_mtim.tv_sec) * 1'000'000'000 + r.loaded.st_mtim.tv_nsec,
            static_cast<std::uint64_t>(r.loaded.st_size)};
}

bool SpoolFileIsAt(const std::string& path, const SpoolIdentity& identity) {
    struct stat there {};
    return ::lstat(path.c_str(), &there) == 0 && there.st_dev == identity.device &&
           there.st_ino == identity.inode;
}

void RewindSpool(SpoolReader& r) {
    r.knownRun = CrRun{};
    r.nextLf = -1;
    r.noLfBefore = 0;
    r.start = 0;
    // A window that still begins at the file's first byte is read again from memory: the
    // header scan, the measure and the text of a small file cost one read between them.
    if (r.offset == static_cast<off_t>(r.end) && !r.readFailed && r.fd.Valid()) return;
    r.end = 0;
    r.offset = 0;
    r.atEnd = !r.fd.Valid();
    r.readFailed = false;
}

// The first LF among the unread bytes of the window, or null.
const char* FindLf(SpoolReader& r) {
    off_t from = Absolute(r, r.start), to = Absolute(r, r.end);
    if (r.nextLf >= from && r.nextLf < to) return r.window.data() + (r.start + (r.nextLf - from));
    off_t start = std::max(from, r.noLfBefore);
    if (start >= to) return nullptr;
    const char* begin = r.window.data() + (r.start + (start - from));
    auto* lf = static_cast<const char*>(std::memchr(begin, '\n', static_cast<std::size_t>(to - start)));
    if (lf)
        r.nextLf = start + (lf - begin);
    else
        r.noLfBefore = to;
    return lf;
}

bool NextSpoolPart(SpoolReader& r, std::string& part, bool& lineEnds) {
    lineEnds = true;
    for (;;) {
        const char* begin = r.window.data() + r.start;
        std::size_t left = r.end - r.start;
        const char* lf = FindLf(r);
        std::size_t scan = lf ? static_cast<std::size_t>(lf - begin) : left;
        auto* cr = static_cast<const char*>(std::memchr(begin, '\r', scan));
        if (cr || lf) {
            CutAtLineEnd(r, part, static_cast<std::size_t>((cr ? cr : lf) - begin));
            return true;
        }
        if (ReadMore(r)) continue;
        if (left == 0 || r.readFailed) {
            part.clear();
            return false;
        }
        lineEnds = r.atEnd;  // the last line without a line end, or a part of a long line
        TakePart(r, part, left, left);
        return true;
    }
}

namespace {

// Where the measure stands between two windows of the file.
struct MeasureState {
    std::uint64_t crs = 0;  // a run of CRs whose line end the next byte decides
    bool lineStarts = true;
    bool inLine = false;    // the last line has text and no line end yet
    bool eightBit = false;
};

bool HasHighBit(const char* bytes, std::size_t size) {
    constexpr std::size_t Block = 64;
    unsigned char any = 0;
    std::size_t k = 0;
    for (; k + Block <= size; k += Block) {
        for (std::size_t b = 0; b < Block; ++b) any |= static_cast<unsigned char>(bytes[k + b]);
        if (any & 0x80) return true;
    }
    for (; k < size; ++k) any |= static_cast<unsigned char>(bytes[k]);
    return (any & 0x80) != 0;
}

// Line ends and lines that begin with "." among `bytes` (each LF followed by "." inside them),
// and whether a byte is above 127: with SSE2, every x86-64 processor's, 16 bytes at a time.
struct PlainCounts {
    std::uint64_t ends = 0, dots = 0;
    bool high = false;
};

#if defined(__SSE2__)
// The sum of the sixteen byte counters of `counters`.
std::uint64_t SumBytes(__m128i counters) {
    __m128i sums = _mm_sad_epu8(counters, _mm_setzero_si128());
    return static_cast<std::uint64_t>(_mm_cvtsi128_si64(sums) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
}
#endif

#if defined(__x86_64__)
__attribute__((target("avx2"))) std::uint64_t SumBytesWide(const __m256i& counters) {
    __m256i sums = _mm256_sad_epu8(counters, _mm256_setzero_si256());
    return static_cast<std::uint64_t>(_mm256_extract_epi64(sums, 0) + _mm256_extract_epi64(sums, 1) +
                                      _mm256_extract_epi64(sums, 2) + _mm256_extract_epi64(sums, 3));
}

// The same with AVX2, where the processor has it: 32 bytes at a time. Where it stopped.
__attribute__((target("avx2"))) std::size_t CountPlainBytesWide(const char* bytes, std::size_t size, PlainCounts& counts) {
    const __m256i lf = _mm256_set1_epi8('\n'), dot = _mm256_set1_epi8('.'), zero = _mm256_setzero_si256();
    __m256i ends = zero, dots = zero, high = zero;
    auto sum = [](const __m256i& counters) { return SumBytesWide(counters); };
    std::size_t i = 0;
    for (int rounds = 0; i + 33 <= size; i += 32) {
        __m256i here = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + i));
        __m256i next = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes + i + 1));
        __m256i isEnd = _mm256_cmpeq_epi8(here, lf);
        ends = _mm256_sub_epi8(ends, isEnd);
        dots = _mm256_sub_epi8(dots, _mm256_and_si256(isEnd, _mm256_cmpeq_epi8(next, dot)));
        high = _mm256_or_si256(high, here);
        if (++rounds == 255) {
            counts.ends += sum(ends), counts.dots += sum(dots);
            ends = dots = zero;
            rounds = 0;
        }
    }
    counts.ends += sum(ends), counts.dots += sum(dots);
    counts.high = _mm256_movemask_epi8(high) != 0;
    return i;
}
#endif

PlainCounts CountPlainBytes(const char* bytes, std::size_t size) {
    PlainCounts counts;
    std::size_t i = 0;
#if defined(__x86_64__)
    static const bool wide = __builtin_cpu_supports("avx2");
    if (wide) i = CountPlainBytesWide(bytes, size, counts);  // the rest 16 and one at a time
#endif
#if defined(__SSE2__)
    // Sixteen byte counters each, added up before they could wrap (255 rounds).
    const __m128i lf = _mm_set1_epi8('\n'), dot = _mm_set1_epi8('.');
    __m128i ends = _mm_setzero_si128(), dots = _mm_setzero_si128(), high = _mm_setzero_si128();
    for (int rounds = 0; i + 17 <= size; i += 16) {  // the byte after the sixteen is looked at too
        __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i));
        __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + i + 1));
        __m128i isEnd = _mm_cmpeq_epi8(here, lf);
        ends = _mm_sub_epi8(ends, isEnd);
        dots = _mm_sub_epi8(dots, _mm_and_si128(isEnd, _mm_cmpeq_epi8(next, dot)));
        high = _mm_or_si128(high, here);
        if (++rounds == 255) {
            counts.ends += SumBytes(ends), counts.dots += SumBytes(dots);
            ends = dots = _mm_setzero_si128();
            rounds = 0;
        }
    }
    counts.ends += SumBytes(ends), counts.dots += SumBytes(dots);
    counts.high = counts.high || _mm_movemask_epi8(high) != 0;
#endif
    for (; i < size; ++i) {
        counts.ends += bytes[i] == '\n';
        counts.dots += bytes[i] == '\n' && i + 1 < size && bytes[i + 1] == '.';
        counts.high = counts.high || (static_cast<unsigned char>(bytes[i]) & 0x80) != 0;
    }
    return counts;
}

// Bytes with no CR: each LF ends a line (one byte more on the wire), a line that begins with
// "." gets one more, and the rest goes as it is.
void MeasurePlainBytes(const char* bytes, std::size_t size, MeasureState& state, TextMeasure& measure) {
    if (size == 0) return;
    PlainCounts counts = CountPlainBytes(bytes, size);
    measure.wireBytes += size + counts.ends + counts.dots + (state.lineStarts && bytes[0] == '.' ? 1 : 0);
    state.eightBit = state.eightBit || counts.high;
    state.lineStarts = bytes[size - 1] == '\n';
    state.inLine = !state.lineStarts;
}

// The wire bytes of `bytes`, by the reader's own line rule (a CR run before an LF is one line
// end, a CR alone ends a line), without cutting out a single line.
void MeasureBytes(const char* bytes, std::size_t size, MeasureState& state, TextMeasure& measure) {
    if (state.crs == 0 && std::memchr(bytes, '\r', size) == nullptr)
        return MeasurePlainBytes(bytes, size, state, measure);
    std::size_t i = 0;
    while (i < size) {
        if (state.crs > 0) {
            if (bytes[i] == '\r') {
                ++state.crs, ++i;
                continue;
            }
            measure.wireBytes += bytes[i] == '\n' ? 2 : 2 * state.crs;
            state.crs = 0;
            state.lineStarts = true, state.inLine = false;
            if (bytes[i] == '\n') {
                ++i;
                continue;
            }
        }
        const void* lf = std::memchr(bytes + i, '\n', size - i);
        std::size_t end = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - bytes) : size;
        if (const void* cr = std::memchr(bytes + i, '\r', end - i))
            end = static_cast<std::size_t>(static_cast<const char*>(cr) - bytes);
        if (end > i) {
            measure.wireBytes += (end - i) + (state.lineStarts && bytes[i] == '.' ? 1 : 0);
            if (!state.eightBit) state.eightBit = HasHighBit(bytes + i, end - i);
            state.lineStarts = false, state.inLine = true;
            i = end;
        }
        if (i == size) break;
        if (bytes[i] == '\r') {
            state.crs = 1;
        } else {
            measure.wireBytes += 2;
            state.lineStarts = true, state.inLine = false;
        }
        ++i;
    }
}

}  // namespace

int MeasureSpoolText(SpoolReader& r, TextMeasure& measure) {
    measure = TextMeasure{};
    RewindSpool(r);
    MeasureState state;
    if (r.offset == static_cast<off_t>(r.end) && r.offset >= r.loaded.st_size) {  // the whole file is in the window
        MeasureBytes(r.window.data(), r.end, state, measure);
    } else {
        // A larger file in blocks that stay in the processor's cache between their read and
        // their measure: the window's megabyte would be fetched from memory twice.
        constexpr std::size_t MeasureBlock = 128 * 1024;
        std::string& block = r.measureBlock;
        block.resize(MeasureBlock);
        for (off_t at = 0; at < r.loaded.st_size;) {
            ssize_t got = ::pread(r.fd.Get(), block.data(), block.size(), at);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0) r.readFailed = true;
            if (got <= 0) break;
            MeasureBytes(block.data(), static_cast<std::size_t>(got), state, measure);
            at += got;
        }
    }
    if (state.crs > 0 || state.inLine) measure.wireBytes += 2;  // the last line's end, or the file's
    measure.eightBit = state.eightBit;
    bool failed = r.readFailed;
    RewindSpool(r);
    return failed ? -1 : 0;
}

bool SpoolReadFailed(const SpoolReader& r) {
    return r.readFailed;
}

}  // namespace sendal
