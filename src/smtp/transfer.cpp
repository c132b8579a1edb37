// The message transfer. A spool file is deleted only after the relay answered 250 to its
// end-of-data line: users hand us their only copy.
#include "smtp/transfer.h"

#include "base/console.h"
#include "base/dirsearch.h"
#include "base/fdio.h"
#include "base/number.h"
#include "base/path.h"
#include "base/text.h"
#include "log/log.h"
#include "message/spool.h"
#include "net/receive.h"
#include "net/send.h"
#include "smtp/command.h"
#include "smtp/envelope.h"

namespace sendal {
namespace {

constexpr double DataCode = 354;
constexpr double OkCode = 250;

// The message lines gathered since the last piece went out.
struct Piece {
    std::string buffer;
    std::int64_t chunkCount = 0;  // line text in `buffer`, line ends and added dots not counted
};

std::int16_t SendPiece(Piece& piece) {
    piece.chunkCount = 0;
    std::int16_t result = SendData(piece.buffer);  // each line already carries its CR LF
    piece.buffer.clear();
    return result;
}

// Adds one line to the piece and sends the piece once it reaches the threshold.
std::int16_t AddLine(Piece& piece, const std::string& line) {
    // A line that begins with "." gets one more, so a line of a single "." cannot end the data.
    if (!line.empty() && line[0] == '.') piece.buffer += '.';
    piece.buffer += line;
    piece.buffer += "\r\n";
    piece.chunkCount += static_cast<std::int64_t>(line.size());
    if (piece.chunkCount < FlushThreshold) return 0;
    SentTotal += piece.chunkCount;
    ConsoleColumnOne();
    ConsoleWrite(FormatNumber(SentTotal));
    return SendPiece(piece);
}

// Sends the held text from its first line: the header block without its dropped lines, then
// the body whole. The last piece is left in `piece` to go out with the end-of-data line.
std::int16_t SendMessageText(Piece& piece) {
    std::string line;
    bool have = NextSpoolLine(line);
    while (have && !line.empty()) {  // the header block ends at the first empty line
        std::string next;
        bool haveNext = NextSpoolLine(next);
        bool continued = haveNext && IsContinuationLine(next);
        bool dropped = IsDroppedHeader(line, continued ? &next : nullptr);
        if (!dropped && AddLine(piece, line) != 0) return -1;
        while (continued) {
            if (!dropped && AddLine(piece, next) != 0) return -1;
            haveNext = NextSpoolLine(next);
            continued = haveNext && IsContinuationLine(next);
        }
        line = std::move(next);
        have = haveNext;
    }
    for (; have; have = NextSpoolLine(line))
        if (AddLine(piece, line) != 0) return -1;
    return 0;
}

// Reads one reply line, shows it, and checks its code.
std::int32_t ExpectReply(double code) {
    std::string reply;
    if (WaitReply(reply) != 0) return -1;
    ShowReply(reply);
    return ReplyCode(reply) == code ? 0 : -1;
}

// One spool file from envelope to deletion. 0 sent (or unreadable and skipped), -1 failure.
std::int32_t SendSpoolFile(const std::string& spoolDir, const std::string& spoolName) {
    std::int32_t envelope = SendEnvelope(spoolDir + spoolName);
    if (envelope == EnvelopeUnreadable) return 0;
    if (envelope != 0) return -1;
    if (SendLine("DATA") != 0 || ExpectReply(DataCode) != 0) return -1;
    ConsoleWrite("         Sending ");
    ConsoleWriteOutside(spoolName);
    std::int32_t readerState = 1;
    std::string rewind;
    ReadSpoolLine(readerState, rewind);
    Piece piece;
    if (SendMessageText(piece) != 0) return -1;
    ConsoleLineEnd();
    // The last piece and the end-of-data line in one send: the same bytes, one segment less.
    piece.buffer += ".\r\n";
    if (SendPiece(piece) != 0 || ExpectReply(OkCode) != 0) return -1;
    RemoveFile(spoolDir + spoolName);  // accepted: now, and only now
    return 0;
}

}  // namespace

std::string SpoolDirectory(const std::string& fileMask) {
    return fileMask.substr(0, DirectoryPartLength(fileMask));
}

bool IsDroppedHeader(const std::string& line, const std::string* continuation) {
    if (line.compare(0, 5, "From ") == 0) return true;
    // Five characters of the joined line decide; the first continuation line is always enough.
    std::string joined = line.substr(0, 5);
    if (continuation && joined.size() < 5) joined += continuation->substr(0, 5);
    for (char& c : joined)
        if (c == '\t') c = ' ';
    return StartsWithNoCase(joined, "bcc: ");
}

std::int32_t TransferSpool(const std::string& fileMask) {
    std::string spoolName = FindFirstEntry(fileMask, SearchFiles);
    std::string spoolDir = SpoolDirectory(fileMask);
    for (; !spoolName.empty(); spoolName = FindNextEntry())
        if (SendSpoolFile(spoolDir, spoolName) != 0) return -1;
    LogMessage("QUIT", -1, LevelNormal);
    if (SendLine("QUIT") != 0) return -1;
    std::string reply;
    if (WaitReply(reply) != 0) return -1;
    ShowReply(reply);
    return 0;
}

}  // namespace sendal
