// The message text. A line that begins with "." gets one more on the wire; everything else
// goes as it stands, each line with CR LF.
#include "smtp/message_text.h"

#include "base/console.h"
#include "base/number.h"
#include "base/outcome.h"
#include "message/headers.h"
#include "message/spool.h"
#include "net/send.h"

namespace sendal {
namespace {

// The message lines gathered since the last piece went out.
struct Piece {
    std::string buffer;
    std::int64_t textLength = 0;  // line text in `buffer`, line ends and added dots not counted
};

std::int16_t SendPiece(Piece& piece) {
    piece.textLength = 0;
    std::int16_t result = SendData(piece.buffer);  // each line already carries its CR LF
    piece.buffer.clear();
    return result;
}

// Adds a line, or a part of a line that is longer than the reader's window, to the piece and
// sends the piece once it reaches the threshold.
std::int16_t AddPart(Piece& piece, const std::string& part, bool lineStarts, bool lineEnds) {
    // A line that begins with "." gets one more, so a line of a single "." cannot end the data.
    if (lineStarts && !part.empty() && part[0] == '.') piece.buffer += '.';
    piece.buffer += part;
    if (lineEnds) piece.buffer += "\r\n";
    piece.textLength += static_cast<std::int64_t>(part.size());
    // A run of empty lines has no line text to count: the piece's bytes bound it as well.
    if (piece.textLength < FlushThreshold && piece.buffer.size() < MaxPieceBytes) return 0;
    SentTotal += piece.textLength;
    ConsoleColumnOne();
    ConsoleWrite(FormatNumber(SentTotal));
    return SendPiece(piece);
}

// The header block without its dropped lines, then the body whole.
std::int16_t SendAllButTail(Piece& piece) {
    RewindSpool();
    HeaderWalk walk;
    StartHeaderWalk(walk);
    HeaderPart header;
    while (NextHeaderPart(walk, header)) {
        if (IsDroppedField(walk)) continue;
        if (std::int16_t sent = AddPart(piece, header.text, header.lineStarts, header.lineEnds); sent != 0)
            return sent;
    }
    if (walk.endedAtEmptyLine)
        if (std::int16_t sent = AddPart(piece, std::string(), true, true); sent != 0) return sent;
    std::string part;
    bool lineStarts = walk.lineStarts, lineEnds = true;
    for (; NextSpoolPart(part, lineEnds); lineStarts = lineEnds)
        if (std::int16_t sent = AddPart(piece, part, lineStarts, lineEnds); sent != 0) return sent;
    // A long last line whose final part filled the window: the file's end ends it.
    if (!lineStarts) piece.buffer += "\r\n";
    if (!SpoolReadFailed()) return 0;
    NoteOutcome(EX_IOERR);  // an incomplete text must never get its end-of-data line
    return -1;
}

}  // namespace

std::int16_t SendMessageText(std::string& tail) {
    Piece piece;
    std::int16_t sent = SendAllButTail(piece);
    tail = std::move(piece.buffer);
    return sent;
}

}  // namespace sendal
