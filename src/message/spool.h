// The spool reader: the spool file at hand, opened once by the header scan and read from its
// start again by the measure and the transfer (a small file from the window in memory),
// through a window of WindowSize bytes, so a message of any size needs no more memory than that.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/fdio.h"

namespace sendal {

// The reader's window: lines are cut out of it; a longer line comes in parts.
constexpr std::size_t WindowSize = 1 << 20;

// What loading a spool file gave.
enum class SpoolLoad {
    Loaded,
    Unreadable,
    Linked,  // a symbolic link: its target is not ours to send
    Busy,    // another process still writes it
};

// A run of CRs, found once: every lone CR in it ends a line, and the line before the run's
// last CR ends at the LF that follows, if one does. Knowing the run keeps the reader linear
// whatever the run's length, also beyond the window.
struct CrRun {
    off_t start = -1, end = -1;  // absolute offsets: the first CR, one past the last
    enum { BeforeOther, BeforeLf, AtFileEnd } next = BeforeOther;
};

// The reader of one spool file at a time: the file it has open, as it was when loaded, and the
// window over it. Handed to every routine that reads the file, from its header scan to its
// last byte sent, so the file read is always the one scanned.
struct SpoolReader {
    UniqueFd fd;
    struct stat loaded {};    // the file as it was when loaded
    std::string window;       // WindowSize bytes of storage
    std::size_t start = 0;    // the next unread byte in the window
    std::size_t end = 0;      // one past the last byte read into it
    off_t offset = 0;         // where the next read starts
    bool atEnd = false;       // the file has no byte after `end`
    bool readFailed = false;
    CrRun knownRun;
    off_t nextLf = -1;        // where the next LF is, once found (absolute)
    off_t noLfBefore = 0;     // and up to where there is none: no byte is searched twice
    std::string measureBlock; // the measure's storage for a file larger than the window
};

// A file changed less than this long ago may still be written, where its writer cannot be
// seen (a file of another owner, on a file system without leases).
constexpr int SpoolSettleSeconds = 2;

// Opens the regular file at `path` as it is written (never through a symbolic link; a FIFO or
// device is refused without blocking), notes its identity and starts at its first line.
// A file that another process has open for writing (the kernel refuses a read lease) is busy.
SpoolLoad LoadSpoolFile(SpoolReader& reader, const std::string& path);

// Whether the loaded file changed (size, time or identity) since it was loaded.
bool SpoolFileChanged(const SpoolReader& reader);

// Which file the loaded one is, so that its name can be checked again when it is deleted.
struct SpoolIdentity {
    unsigned long device = 0, inode = 0;
    std::int64_t modified = 0;  // nanoseconds since the epoch
    std::uint64_t size = 0;
};
SpoolIdentity LoadedSpoolIdentity(const SpoolReader& reader);

// The spool file at hand.
struct SpoolFile {
    std::string name;  // as the directory search found it
    std::string path;  // looked up once: the file opened, sent and deleted is this one
    SpoolIdentity identity;
    std::size_t delivered = 0;  // recipients whose transaction got its 2xx in this run
    // For its state record, the journal line and a notice.
    std::string sender;
    std::string recipients;  // joined with ", "
    std::string subject;
    std::size_t recipientCount = 0;
    std::uint64_t size = 0;
};

// Whether `path` (not followed if it is a link) names the file `identity` stands for.
bool SpoolFileIsAt(const std::string& path, const SpoolIdentity& identity);

// Starts again at the first line, reading the file from its start.
void RewindSpool(SpoolReader& reader);

// The next line, or the next part of a line longer than the window, into `part`, without its
// line end; `lineEnds` tells whether the line ends after it. False at the end of the file or
// on a read error (see SpoolReadFailed). A line ends at LF (with any CRs just before it) or at
// a CR not followed by LF, so a file with CR-only line ends reads as its lines; no other byte
// is ever dropped.
bool NextSpoolPart(SpoolReader& reader, std::string& part, bool& lineEnds);

// The text as it goes on the wire: every line with CR LF and one more "." before a line that
// begins with one; whether a byte of it is above 127.
struct TextMeasure {
    std::uint64_t wireBytes = 0;
    bool eightBit = false;
};

// Reads the file through once for its measure (a small file stays in the window, so the text
// is then sent from memory) and starts again at its first line. 0, or -1 when reading failed.
int MeasureSpoolText(SpoolReader& reader, TextMeasure& measure);

// Whether reading the file failed since it was loaded: what was read is then incomplete.
bool SpoolReadFailed(const SpoolReader& reader);

}  // namespace sendal
