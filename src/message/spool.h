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

// Opens the regular file at `path` (a FIFO or device is refused without blocking) and starts
// at its first line. 0, or -1 when it cannot be read.
int LoadSpoolFile(const std::string& path);

// Starts again at the first line, reading the file from its start.
void RewindSpool();

// The next line, or the next part of a line longer than the window, into `part`, without its
// line end; `lineEnds` tells whether the line ends after it. False at the end of the file or
// on a read error (see SpoolReadFailed). A line ends at LF (with any CRs just before it) or at
// a CR not followed by LF, so a file with CR-only line ends reads as its lines; no other byte
// is ever dropped.
bool NextSpoolPart(std::string& part, bool& lineEnds);

// The next whole line (its parts joined), for the header block; false at the end.
bool NextSpoolLine(std::string& line);

// The text as it goes on the wire: every line with CR LF and one more "." before a line that
// begins with one; whether a byte of it is above 127.
struct TextMeasure {
    std::uint64_t wireBytes = 0;
    bool eightBit = false;
};

// Reads the file through once for its measure and starts again at its first line. 0, or -1
// when reading failed.
int MeasureSpoolText(TextMeasure& measure);

// Whether reading the file failed since it was loaded: what was read is then incomplete.
bool SpoolReadFailed();

}  // namespace sendal
