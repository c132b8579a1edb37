// The spool reader: the spool file at hand, opened once by the header scan and read again from
// its start by the transfer, through a window of WindowSize bytes, so a message of any size
// needs no more memory than that.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

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

// A file changed less than this long ago may still be written, where its writer cannot be
// seen (a file of another owner, on a file system without leases).
constexpr int SpoolSettleSeconds = 2;

// Opens the regular file at `path` as it is written (never through a symbolic link; a FIFO or
// device is refused without blocking), notes its identity and starts at its first line.
// A file that another process has open for writing (the kernel refuses a read lease) is busy.
SpoolLoad LoadSpoolFile(const std::string& path);

// Whether the loaded file changed (size, time or identity) since it was loaded.
bool SpoolFileChanged();

// Which file the loaded one is, so that its name can be checked again when it is deleted.
struct SpoolIdentity {
    unsigned long device = 0, inode = 0;
    std::int64_t modified = 0;  // nanoseconds since the epoch
    std::uint64_t size = 0;
};
SpoolIdentity LoadedSpoolIdentity();

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
void RewindSpool();

// The next line, or the next part of a line longer than the window, into `part`, without its
// line end; `lineEnds` tells whether the line ends after it. False at the end of the file or
// on a read error (see SpoolReadFailed). A line ends at LF (with any CRs just before it) or at
// a CR not followed by LF, so a file with CR-only line ends reads as its lines; no other byte
// is ever dropped.
bool NextSpoolPart(std::string& part, bool& lineEnds);

// The text as it goes on the wire: every line with CR LF and one more "." before a line that
// begins with one; whether a byte of it is above 127.
struct TextMeasure {
    std::uint64_t wireBytes = 0;
    bool eightBit = false;
};

// Reads the file through once for its measure (a small file stays in the window, so the text
// is then sent from memory) and starts again at its first line. 0, or -1 when reading failed.
int MeasureSpoolText(TextMeasure& measure);

// Whether reading the file failed since it was loaded: what was read is then incomplete.
bool SpoolReadFailed();

}  // namespace sendal
