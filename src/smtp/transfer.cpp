// The message transfer. A spool file is deleted only after the relay answered 250 to its
// end-of-data line: users hand us their only copy.
#include "smtp/transfer.h"

#include "base/console.h"
#include "base/dirsearch.h"
#include "base/fdio.h"
#include "base/number.h"
#include "base/outcome.h"
#include "base/path.h"
#include "base/stop.h"
#include "log/log.h"
#include "message/headers.h"
#include "message/spool.h"
#include "net/send.h"
#include "smtp/codes.h"
#include "smtp/command.h"
#include "smtp/envelope.h"

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
    if (piece.textLength < FlushThreshold) return 0;
    SentTotal += piece.textLength;
    ConsoleColumnOne();
    ConsoleWrite(FormatNumber(SentTotal));
    return SendPiece(piece);
}

// Sends the file's text from its first line: the header block without its dropped lines, then
// the body whole. The last piece is left in `piece` to go out with the end-of-data line.
std::int16_t SendMessageText(Piece& piece) {
    RewindSpool();
    HeaderWalk walk;
    StartHeaderWalk(walk);
    HeaderLine header;
    while (NextHeaderLine(walk, header)) {
        if (IsDroppedHeader(header)) continue;
        for (const std::string& line : header.raw)
            if (AddPart(piece, line, true, true) != 0) return -1;
    }
    if (walk.haveAhead && AddPart(piece, walk.ahead, true, true) != 0) return -1;
    std::string part;
    bool lineStarts = true, lineEnds = true;
    for (; NextSpoolPart(part, lineEnds); lineStarts = lineEnds)
        if (AddPart(piece, part, lineStarts, lineEnds) != 0) return -1;
    // A long last line whose final part filled the window: the file's end ends it.
    if (!lineStarts) piece.buffer += "\r\n";
    if (!SpoolReadFailed()) return 0;
    NoteOutcome(EX_IOERR);  // an incomplete text must never get its end-of-data line
    return -1;
}

// One transaction: the envelope from `list[first]`, DATA, the text and the end of data.
// 0 with `announced` recipients accepted, or -1.
std::int32_t SendTransaction(const AddressList& list, std::size_t first,
                             const std::string& spoolName, std::size_t& announced) {
    if (SendEnvelope(list, first, announced) != 0 || Exchange("DATA", DataCode, EchoConsole) != 0)
        return -1;
    ConsoleWrite("         Sending ");
    ConsoleWriteOutside(spoolName);
    Piece piece;
    std::int16_t sent = SendMessageText(piece);
    ConsoleLineEnd();  // also when the text failed, so no later line stands glued to the figure
    if (sent != 0) return -1;
    // The last piece and the end-of-data line in one send: the same bytes, one segment less.
    piece.buffer += ".\r\n";
    if (SendPiece(piece) != 0) return -1;
    return AwaitReply(OkCode, EchoConsole);
}

// The log tells which file stays, and why, when the run ends inside it.
void LogNotSent(const std::string& spoolName, std::size_t delivered) {
    if (delivered > 0)
        LogMessage("Already sent to " + std::to_string(delivered) + " recipients of " + spoolName +
                       " in this run!",
                   -1, LevelError);
    std::string line = "Not sent: " + spoolName;
    if (LastReplyRefused()) line += " (" + LastReply() + ")";
    LogMessage(line, -1, LevelError);
}

// One spool file from its header scan to its deletion, in as many transactions as its
// recipients need. 0 sent (or skipped and kept), -1 failure.
std::int32_t SendSpoolFile(const std::string& spoolDir, const std::string& spoolName) {
    AddressList list;
    // An unreadable file must not go out as an empty message and then be deleted.
    if (ScanHeaders(spoolDir + spoolName, list) == ScanUnreadable) {
        NoteOutcome(EX_NOINPUT);
        return 0;
    }
    if (list.size() == 1) {  // a relay would refuse it, and it would block every later file
        NoteOutcome(EX_DATAERR);
        LogMessage("No recipient in " + spoolName + "!", -1, LevelError);
        return 0;
    }
    std::size_t delivered = 0, announced = 0;
    for (std::size_t first = 1; first < list.size(); first += announced) {
        if (SendTransaction(list, first, spoolName, announced) != 0) {
            LogNotSent(spoolName, delivered);
            return -1;
        }
        delivered += announced;
    }
    // Accepted by every transaction: now, and only now. A file that stays would go out again
    // on every later run, so the run ends here and the log says so.
    if (RemoveFile(spoolDir + spoolName) == 0) return 0;
    NoteOutcome(EX_CANTCREAT);
    LogMessage("Can't delete " + spoolName + "!", -1, LevelError);
    return -1;
}

}  // namespace

std::string SpoolDirectory(const std::string& fileMask) {
    return fileMask.substr(0, DirectoryPartLength(fileMask));
}

std::int32_t TransferSpool(const std::string& fileMask) {
    std::string spoolName = FindFirstEntry(fileMask, SearchFiles);
    std::string spoolDir = SpoolDirectory(fileMask);
    for (; !spoolName.empty(); spoolName = FindNextEntry())
        if (StopSignal() != 0 || SendSpoolFile(spoolDir, spoolName) != 0) return -1;
    LogMessage("QUIT", -1, LevelNormal);
    return Exchange("QUIT", AnyCode, EchoConsole);
}

}  // namespace sendal
