// The message text. For DATA a line that begins with "." gets one more on the wire; everything
// else goes as it stands, each line with CR LF.
#include "smtp/message_text.h"

#include "base/console.h"
#include "base/number.h"
#include "base/outcome.h"
#include "message/spool.h"
#include "net/send.h"

namespace sendal {
namespace {

// Room made for a piece at the start: a small message then needs no second allocation.
constexpr std::size_t StartingPieceBytes = 16 * 1024;

// Whether the gathered piece is to go out.
bool PieceFull(const MessageText& text) {
    if (text.chunked) return text.buffer.size() >= ChunkBytes;
    // A run of empty lines has no line text to count: the piece's bytes bound it as well.
    return text.textLength >= FlushThreshold || text.buffer.size() >= MaxPieceBytes;
}

// Adds a line, or a part of a line that is longer than the reader's window.
void AddPart(MessageText& text, const std::string& part, bool lineStarts, bool lineEnds) {
    // A line that begins with "." gets one more, so a line of a single "." cannot end the data.
    if (!text.chunked && lineStarts && !part.empty() && part[0] == '.') text.buffer += '.';
    text.buffer += part;
    if (lineEnds) text.buffer += "\r\n";
    text.textLength += static_cast<std::int64_t>(part.size());
}

// Moves the gathered piece out, with the progress figure.
void TakePiece(MessageText& text, std::string& piece, bool last) {
    if (!last) {
        SentTotal += text.textLength;
        ConsoleColumnOne();
        ConsoleWrite(FormatNumber(SentTotal));
    }
    text.textLength = 0;
    piece.swap(text.buffer);  // the two storages take turns, so neither is made anew
    text.buffer.clear();
}

// The next part of the text into the piece: the header block without its dropped lines, its
// empty line, then the body whole. False when everything has been read.
bool AddNextPart(MessageText& text) {
    std::string& part = text.part.text;
    bool lineEnds = true;
    if (text.phase == 0) {
        while (NextHeaderPart(text.walk, text.part))
            if (!IsDroppedField(text.walk))
                return AddPart(text, part, text.part.lineStarts, text.part.lineEnds), true;
        text.phase = 1;
        text.lineStarts = text.walk.lineStarts;
        part.clear();
        if (text.walk.endedAtEmptyLine) return AddPart(text, part, true, true), true;
    }
    if (text.phase == 1 && NextSpoolPart(*text.walk.reader, part, lineEnds)) {
        AddPart(text, part, text.lineStarts, lineEnds);
        text.lineStarts = lineEnds;
        return true;
    }
    // A long last line whose final part filled the window: the file's end ends it.
    if (text.phase == 1 && !text.lineStarts) text.buffer += "\r\n";
    text.phase = 2;
    return false;
}

}  // namespace

void StartMessageText(MessageText& text, SpoolReader& reader, bool chunked) {
    text = MessageText{};
    text.chunked = chunked;
    text.buffer.reserve(StartingPieceBytes);
    RewindSpool(reader);
    StartHeaderWalk(text.walk, reader);
}

int NextTextPiece(MessageText& text, std::string& piece) {
    while (AddNextPart(text)) {
        if (PieceFull(text)) {
            TakePiece(text, piece, false);
            return 1;
        }
    }
    if (SpoolReadFailed(*text.walk.reader)) {
        NoteOutcome(EX_IOERR);  // an incomplete text must never get its end
        return -1;
    }
    TakePiece(text, piece, true);
    return 0;
}

std::int16_t SendMessageText(SpoolReader& reader, std::string& tail) {
    MessageText text;
    StartMessageText(text, reader, false);
    std::string piece;
    for (;;) {
        int more = NextTextPiece(text, piece);
        if (more < 0) return -1;
        if (more == 0) break;
        if (std::int16_t sent = SendData(piece); sent != 0) return sent;  // each line has its CR LF
    }
    tail = std::move(piece);
    return 0;
}

}  // namespace sendal
