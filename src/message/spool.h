// The held text of the spool file at hand: loaded once by the header scan, read again by the
// transfer after a rewind, so each file is read from disk only once.
#pragma once

#include <cstdint>
#include <string>

namespace sendal {

inline std::string SpoolText;      // the whole file loaded last, byte for byte
inline std::int64_t SpoolPos = 1;  // 1-based position of the next line's first byte
inline bool SpoolLoaded = false;   // whether the last load read the file

// Three modes, chosen by what is passed:
// - load (readerState > 0, text a path): the file is read whole into SpoolText and closed;
//   an unreadable file gives an empty text. readerState becomes 0.
// - rewind (readerState > 0, text empty): reading starts again at the first line.
// - next line (readerState <= 0): text receives the next line without its line end and
//   readerState becomes 0; at the end of the text, text is empty and readerState -1.
// A line ends at LF (with any CRs just before it) or at a CR not followed by LF, so a file with
// CR-only line ends reads as its lines; no other byte is ever dropped.
void ReadSpoolLine(std::int32_t& readerState, std::string& text);

// The next line of the held text into `line`; false at its end (next-line mode above).
bool NextSpoolLine(std::string& line);

// A line that continues the header line before it: it begins with a blank or a tab.
bool IsContinuationLine(const std::string& line);

}  // namespace sendal
