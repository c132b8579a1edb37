// The message text of one transaction: the held spool file from its first line, without the
// header lines that are never sent, in pieces of whole lines with the progress figure; as
// DATA's text (a "." added before a line that begins with one) or as BDAT chunks (counted
// bytes, nothing added).
#pragma once

#include <cstdint>
#include <string>

#include "message/headers.h"

namespace sendal {

// Characters of line text gathered before a piece goes to the socket: large enough that a big
// message costs few sends, small enough that the progress figure moves.
constexpr std::int64_t FlushThreshold = 10000;
// A piece goes out at this many bytes too, whatever its line text, so memory stays bounded.
constexpr std::size_t MaxPieceBytes = 1 << 20;
// A BDAT chunk: at most the reader's window, so that a large message costs few commands.
constexpr std::size_t ChunkBytes = 1 << 20;

// Characters of line text sent in pieces at the threshold, across the whole run.
inline std::int64_t SentTotal = 0;

// Where the text stands.
struct MessageText {
    HeaderWalk walk;
    int phase = 0;  // 0 the header block, 1 the body, 2 all read
    bool lineStarts = true;
    bool chunked = false;
    std::string buffer;
    std::int64_t textLength = 0;  // line text in `buffer`, line ends and added dots not counted
    HeaderPart part;  // the line at hand, its storage kept from line to line
};

// Starts at the held file's first line, for DATA or (`chunked`) for BDAT.
void StartMessageText(MessageText& text, SpoolReader& reader, bool chunked);

// The next piece of the wire form into `piece`: 1 when more follow, 0 for the last one (which
// may be empty), -1 when reading the file failed (an incomplete text must never be ended).
int NextTextPiece(MessageText& text, std::string& piece);

// DATA's text: sends it but its last piece, which is left in `tail` (with every line end,
// without the end-of-data line) to go out with what follows. 0; SendBroken when the relay
// closed the connection; -1 on a failed send or read (reported).
std::int16_t SendMessageText(SpoolReader& reader, std::string& tail);

}  // namespace sendal
