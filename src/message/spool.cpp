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

#include "base/fdio.h"
#include "base/path.h"

namespace sendal {
namespace {

UniqueFd SpoolFd;
std::string Window;            // WindowSize bytes of storage
std::size_t WindowStart = 0;   // the next unread byte in Window
std::size_t WindowEnd = 0;     // one past the last byte read into Window
off_t FileOffset = 0;          // where the next read starts
bool AtEnd = false;            // the file has no byte after WindowEnd
bool ReadFailed = false;
struct stat Loaded {};         // the loaded file as it was when loaded

// Moves the unread bytes to the front and reads more behind them. False when nothing more
// could be read (the end of the file, a read error, or a full window).
bool ReadMore() {
    if (AtEnd || ReadFailed) return false;
    // Read up to the size it had when loaded: a file that grew since is changed, and the
    // check before its deletion says so; a small file then stays whole in the window.
    if (FileOffset >= Loaded.st_size) {
        AtEnd = true;
        return false;
    }
    std::memmove(Window.data(), Window.data() + WindowStart, WindowEnd - WindowStart);
    WindowEnd -= WindowStart;
    WindowStart = 0;
    if (WindowEnd == Window.size()) return false;
    for (;;) {
        ssize_t got = ::pread(SpoolFd.Get(), Window.data() + WindowEnd, Window.size() - WindowEnd,
                              FileOffset);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) ReadFailed = true;
        if (got <= 0) {
            AtEnd = true;
            return false;
        }
        WindowEnd += static_cast<std::size_t>(got);
        FileOffset += got;
        return true;
    }
}

// Hands out `length` bytes from the window start and consumes `consumed` bytes.
void TakePart(std::string& part, std::size_t length, std::size_t consumed) {
    part.assign(Window.data() + WindowStart, length);
    WindowStart += consumed;
}

// A run of CRs, found once: every lone CR in it ends a line, and the line before the run's
// last CR ends at the LF that follows, if one does. Knowing the run keeps the reader linear
// whatever the run's length, also beyond the window.
struct CrRun {
    off_t start = -1, end = -1;  // absolute offsets: the first CR, one past the last
    enum { BeforeOther, BeforeLf, AtFileEnd } next = BeforeOther;
};
CrRun KnownRun;

// Where the next LF is, once found (absolute offset), and up to where there is none: a line
// end search never goes over the same bytes twice, so a window of short lines costs no more
// than one of long ones.
off_t NextLf = -1;
off_t NoLfBefore = 0;

off_t Absolute(std::size_t windowOffset) {
    return FileOffset - static_cast<off_t>(WindowEnd) + static_cast<off_t>(windowOffset);
}

// The run of CRs that begins at window offset `at` (or the known one it lies in).
const CrRun& RunAt(std::size_t at) {
    off_t position = Absolute(at);
    if (position >= KnownRun.start && position < KnownRun.end) return KnownRun;
    std::size_t after = at;
    while (after < WindowEnd && Window[after] == '\r') ++after;
    KnownRun.start = position;
    KnownRun.end = Absolute(after);
    if (after < WindowEnd) {
        KnownRun.next = Window[after] == '\n' ? CrRun::BeforeLf : CrRun::BeforeOther;
        return KnownRun;
    }
    // The run goes on past the window: look ahead in the file without moving the window.
    char block[4096];
    for (;;) {
        ssize_t got = AtEnd ? 0 : ::pread(SpoolFd.Get(), block, sizeof block, KnownRun.end);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            KnownRun.next = CrRun::AtFileEnd;
            return KnownRun;
        }
        ssize_t i = 0;
        while (i < got && block[i] == '\r') ++i;
        KnownRun.end += i;
        if (i < got) {
            KnownRun.next = block[i] == '\n' ? CrRun::BeforeLf : CrRun::BeforeOther;
            return KnownRun;
        }
    }
}

// Consumes the unread bytes up to the absolute offset `to`, which may lie beyond the window.
void SkipTo(off_t to) {
    if (to <= FileOffset) {
        WindowStart = WindowEnd - static_cast<std::size_t>(FileOffset - to);
        return;
    }
    WindowStart = WindowEnd = 0;
    FileOffset = to;
}

// The line that ends at window offset `end` (from WindowStart), a CR or LF.
void CutAtLineEnd(std::string& part, std::size_t end) {
    std::size_t at = WindowStart + end;
    if (Window[at] == '\n') {
        TakePart(part, end, end + 1);
        return;
    }
    const CrRun& run = RunAt(at);
    part.assign(Window.data() + WindowStart, end);
    if (run.next == CrRun::BeforeLf && Absolute(at) == run.start)
        SkipTo(run.end + 1);  // the CRs before an LF belong to its line end
    else if (run.next == CrRun::AtFileEnd && Absolute(at) == run.start)
        SkipTo(run.end);      // CRs up to the end of the file end the last line
    else
        WindowStart = at + 1;  // a CR alone ends the line
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

SpoolLoad LoadSpoolFile(const std::string& path) {
    // O_NONBLOCK keeps a FIFO that slipped past the directory search from blocking the open.
    constexpr int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW;
    SpoolFd.Reset(::open(PlainPath(path).c_str(), flags));
    if (!SpoolFd.Valid() && errno == ENOENT) SpoolFd.Reset(::open(ResolvePath(path).c_str(), flags));
    SpoolLoad result = SpoolLoad::Loaded;
    if (!SpoolFd.Valid())
        result = errno == ELOOP ? SpoolLoad::Linked : SpoolLoad::Unreadable;
    else if (::fstat(SpoolFd.Get(), &Loaded) != 0 || !S_ISREG(Loaded.st_mode))
        result = SpoolLoad::Unreadable;
    else if (BeingWritten(SpoolFd.Get(), Loaded))
        result = SpoolLoad::Busy;
    if (result != SpoolLoad::Loaded) SpoolFd.Reset();
    Window.resize(WindowSize);
    WindowStart = WindowEnd = 0;  // nothing of the file before is read again
    FileOffset = 0;
    AtEnd = !SpoolFd.Valid();
    ReadFailed = false;
    RewindSpool();
    return result;
}

bool SpoolFileChanged() {
    struct stat now {};
    if (!SpoolFd.Valid() || ::fstat(SpoolFd.Get(), &now) != 0) return true;
    return now.st_size != Loaded.st_size || !SameTime(now.st_mtim, Loaded.st_mtim) ||
           now.st_ino != Loaded.st_ino;
}

SpoolIdentity LoadedSpoolIdentity() {
    return {static_cast<unsigned long>(Loaded.st_dev), static_cast<unsigned long>(Loaded.st_ino),
            static_cast<std::int64_t>(Loaded.st_mtim.tv_sec) * 1'000'000'000 + Loaded.st_mtim.tv_nsec,
            static_cast<std::uint64_t>(Loaded.st_size)};
}

bool SpoolFileIsAt(const std::string& path, const SpoolIdentity& identity) {
    struct stat there {};
    return ::lstat(path.c_str(), &there) == 0 && there.st_dev == identity.device &&
           there.st_ino == identity.inode;
}

void RewindSpool() {
    KnownRun = CrRun{};
    NextLf = -1;
    NoLfBefore = 0;
    WindowStart = 0;
    // A window that still begins at the file's first byte is read again from memory: the
    // header scan, the measure and the text of a small file cost one read between them.
    if (FileOffset == static_cast<off_t>(WindowEnd) && !ReadFailed && SpoolFd.Valid()) return;
    WindowEnd = 0;
    FileOffset = 0;
    AtEnd = !SpoolFd.Valid();
    ReadFailed = false;
}

// The first LF among the unread bytes of the window, or null.
const char* FindLf() {
    off_t from = Absolute(WindowStart), to = Absolute(WindowEnd);
    if (NextLf >= from && NextLf < to) return Window.data() + (WindowStart + (NextLf - from));
    off_t start = std::max(from, NoLfBefore);
    if (start >= to) return nullptr;
    const char* begin = Window.data() + (WindowStart + (start - from));
    auto* lf = static_cast<const char*>(std::memchr(begin, '\n', static_cast<std::size_t>(to - start)));
    if (lf)
        NextLf = start + (lf - begin);
    else
        NoLfBefore = to;
    return lf;
}

bool NextSpoolPart(std::string& part, bool& lineEnds) {
    lineEnds = true;
    for (;;) {
        const char* begin = Window.data() + WindowStart;
        std::size_t left = WindowEnd - WindowStart;
        const char* lf = FindLf();
        std::size_t scan = lf ? static_cast<std::size_t>(lf - begin) : left;
        auto* cr = static_cast<const char*>(std::memchr(begin, '\r', scan));
        if (cr || lf) {
            CutAtLineEnd(part, static_cast<std::size_t>((cr ? cr : lf) - begin));
            return true;
        }
        if (ReadMore()) continue;
        if (left == 0 || ReadFailed) {
            part.clear();
            return false;
        }
        lineEnds = AtEnd;  // the last line without a line end, or a part of a long line
        TakePart(part, left, left);
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
    std::uint64_t any = 0, word = 0;
    std::size_t k = 0;
    for (; k + sizeof word <= size; k += sizeof word) {
        std::memcpy(&word, bytes + k, sizeof word);
        any |= word;
    }
    for (; k < size; ++k) any |= static_cast<unsigned char>(bytes[k]);
    return (any & 0x8080808080808080ULL) != 0;
}

// Bytes with no CR: each LF ends a line (one byte more on the wire), a line that begins with
// "." gets one more, and the rest goes as it is.
void MeasurePlainBytes(const char* bytes, std::size_t size, MeasureState& state, TextMeasure& measure) {
    if (!state.eightBit) state.eightBit = HasHighBit(bytes, size);
    measure.wireBytes += size;
    const char* end = bytes + size;
    for (const char* at = bytes; at < end;) {
        if (state.lineStarts && *at == '.') ++measure.wireBytes;
        const void* lf = std::memchr(at, '\n', static_cast<std::size_t>(end - at));
        if (lf == nullptr) {
            state.lineStarts = false, state.inLine = true;
            return;
        }
        ++measure.wireBytes;
        state.lineStarts = true, state.inLine = false;
        at = static_cast<const char*>(lf) + 1;
    }
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

int MeasureSpoolText(TextMeasure& measure) {
    measure = TextMeasure{};
    RewindSpool();
    MeasureState state;
    do {
        MeasureBytes(Window.data() + WindowStart, WindowEnd - WindowStart, state, measure);
        WindowStart = WindowEnd;
    } while (ReadMore());
    if (state.crs > 0 || state.inLine) measure.wireBytes += 2;  // the last line's end, or the file's
    measure.eightBit = state.eightBit;
    bool failed = ReadFailed;
    RewindSpool();
    return failed ? -1 : 0;
}

bool SpoolReadFailed() {
    return ReadFailed;
}

}  // namespace sendal
