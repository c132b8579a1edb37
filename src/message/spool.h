// The spool reader: the text of the spool file at hand, loaded once by the header scan and read
// again by the transfer after a rewind, so each file is read from disk only once.
#pragma once

#include <string>

namespace sendal {

// Reads the file at `path` and starts at its first line. 0, or -1 when it cannot be read (the
// held text is then empty).
int LoadSpoolFile(const std::string& path);

// Starts again at the first line of the held text.
void RewindSpool();

// The next line of the held text into `line`, without its line end; false at the end of the
// text (`line` empty). A line ends at LF (with any CRs just before it) or at a CR not followed
// by LF, so a file with CR-only line ends reads as its lines; no other byte is ever dropped.
bool NextSpoolLine(std::string& line);

}  // namespace sendal
