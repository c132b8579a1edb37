// The message text of one transaction: the held spool file from its first line, without the
// header lines that are never sent, in pieces of whole lines with the progress figure.
#pragma once

#include <cstdint>
#include <string>

namespace sendal {

// Characters of line text gathered before a piece goes to the socket: large enough that a big
// message costs few sends, small enough that the progress figure moves.
constexpr std::int64_t FlushThreshold = 10000;
// A piece goes out at this many bytes too, whatever its line text, so memory stays bounded.
constexpr std::size_t MaxPieceBytes = 1 << 20;

// Characters of line text sent in pieces at the threshold, across the whole run.
inline std::int64_t SentTotal = 0;

// Sends the text but its last piece, which is left in `tail` (with every line end, without
// the end-of-data line) to go out with what follows. 0; SendBroken when the relay closed the
// connection; -1 on a failed send or read (reported).
std::int16_t SendMessageText(std::string& tail);

}  // namespace sendal
