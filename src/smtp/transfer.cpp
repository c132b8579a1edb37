// The message transfer. A spool file is deleted only after the relay answered 2xx to the end
// of data of its last transaction: users hand us their only copy. The reply queue decides
// when commands go out; this part keeps the order of the files and their deletions.
#include "smtp/transfer.h"

#include <deque>

#include "base/console.h"
#include "base/dirsearch.h"
#include "base/fdio.h"
#include "base/options.h"
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

// The spool file at hand.
struct SpoolFile {
    std::string dir, name;
    std::size_t delivered = 0;  // recipients whose transaction got its 2xx in this run
};

// A transaction whose end of data is queued or sent, its reply not yet read.
struct EndAwaited {
    SpoolFile file;
    bool lastOfFile;
    std::size_t accepted;
};

std::deque<EndAwaited> EndsAwaited;

// The log tells which file stays, and why, when the run ends inside it.
void LogNotSent(const SpoolFile& file, const Reply* refusal) {
    if (file.delivered > 0)
        LogMessage("Already sent to " + std::to_string(file.delivered) + " recipients of " +
                       file.name + " in this run!",
                   -1, LevelError);
    std::string line = "Not sent: " + file.name;
    if (refusal) {
        NoteRefusal(*refusal);
        line += " (" + refusal->Final() + ")";
    }
    LogMessage(line, -1, LevelError);
}

// Accepted by every transaction: now, and only now. A file that stays would go out again on
// every later run, so the run ends here and the log says so.
std::int32_t DeleteSpoolFile(const SpoolFile& file) {
    if (RemoveFile(file.dir + file.name) == 0) return 0;
    NoteOutcome(EX_CANTCREAT);
    LogMessage("Can't delete " + file.name + "!", -1, LevelError);
    return -1;
}

// Reads the replies to the ends of data that come next in the queue; a file whose last
// transaction is accepted is deleted. `current` (when there is one) counts the recipients of
// its earlier transactions.
std::int32_t SettleEnds(SpoolFile* current) {
    while (NextReplyIs(ForEnd)) {
        EndAwaited end = std::move(EndsAwaited.front());
        EndsAwaited.pop_front();
        Reply reply;
        if (TakeReply(reply) != 0) {
            LogNotSent(end.file, nullptr);
            return -1;
        }
        if (ReplyClass(reply.code) != 2) {
            LogNotSent(end.file, &reply);
            return -1;
        }
        if (end.lastOfFile && DeleteSpoolFile(end.file) != 0) return -1;
        if (!end.lastOfFile && current) current->delivered += end.accepted;
    }
    return 0;
}

// One transaction: the envelope, the text and the end of data, whose reply is read now or,
// pipelined, with the next envelope. 0, or -1 after the log says why.
std::int32_t SendTransaction(const AddressList& list, Envelope& envelope, SpoolFile& file,
                             bool othersFollow) {
    std::int32_t announced = QueueEnvelope(list, envelope);
    if (SettleEnds(&file) != 0) return -1;
    if (announced == 0) announced = AwaitGoAhead(envelope);
    if (announced != 0) {
        LogNotSent(file, envelope.refused ? &envelope.refusal : nullptr);
        return -1;
    }
    ConsoleWrite("         Sending ");
    ConsoleWriteOutside(file.name);
    std::string tail;
    std::int16_t sent = SendMessageText(tail);
    ConsoleLineEnd();  // also when the text failed, so no later line stands glued to the figure
    if (sent != 0 && sent != SendBroken) {
        LogNotSent(file, nullptr);
        return -1;
    }
    // A relay that hung up in the middle of the text may have said why: its reply is the
    // end of data's.
    EndsAwaited.push_back({file, !othersFollow && envelope.deferred.empty(), envelope.accepted.size()});
    QueueEndOfData(tail, sent == SendBroken);
    return Pipelined() && sent == 0 ? 0 : SettleEnds(&file);
}

// The sizes the relay is told of, and the refusal of a file larger than it takes.
std::int32_t SizeUp(const AddressList& list, const SpoolFile& file, std::string& parameters) {
    parameters.clear();
    if (!UsesEhlo() || (!Offers("SIZE") && !Offers("8BITMIME"))) return 0;
    TextMeasure measure;
    if (MeasureSpoolText(measure) != 0) return 0;  // the transfer's own read reports it
    std::uint64_t limit = OfferedSizeLimit();
    if (limit != 0 && measure.wireBytes > limit) {
        if (SettleEnds(nullptr) != 0) return -1;
        NoteOutcome(EX_UNAVAILABLE);
        LogMessage("Too big for the relay: " + file.name + " (" + std::to_string(measure.wireBytes) +
                       " bytes, the relay takes " + std::to_string(limit) + ")!",
                   -1, LevelError);
        return -1;
    }
    parameters = MailParameters(list, measure.wireBytes, measure.eightBit);
    return 0;
}

// One spool file from its header scan to its last transaction, in as many transactions as its
// recipients need. 0 sent (or skipped and kept), -1 failure.
std::int32_t SendSpoolFile(const std::string& spoolDir, const std::string& spoolName) {
    SpoolFile file{spoolDir, spoolName};
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
    std::string parameters;
    if (SizeUp(list, file, parameters) != 0) return -1;
    std::vector<std::size_t> waiting;
    for (std::size_t entry = 1; entry < list.size(); ++entry) waiting.push_back(entry);
    while (!waiting.empty()) {
        Envelope envelope;
        envelope.mailParameters = parameters;
        std::size_t count = std::min(waiting.size(), MaxRecipients);
        envelope.recipients.assign(waiting.begin(), waiting.begin() + count);
        waiting.erase(waiting.begin(), waiting.begin() + count);
        if (SendTransaction(list, envelope, file, !waiting.empty()) != 0) return -1;
        waiting.insert(waiting.begin(), envelope.deferred.begin(), envelope.deferred.end());
    }
    return 0;
}

std::int32_t Quit() {
    LogMessage("QUIT", -1, LevelNormal);
    Reply reply;
    if (SendCommand("QUIT") != 0) return -1;
    return ReadReply(reply, EchoConsole);  // whatever it says, the mail is delivered
}

}  // namespace

std::string SpoolDirectory(const std::string& fileMask) {
    return fileMask.substr(0, DirectoryPartLength(fileMask));
}

std::int32_t TransferSpool(const std::string& fileMask) {
    StartReplyQueue(UsesEhlo() && Offers("PIPELINING"));
    EndsAwaited.clear();
    std::string spoolName = FindFirstEntry(fileMask, SearchFiles);
    std::string spoolDir = SpoolDirectory(fileMask);
    for (; !spoolName.empty(); spoolName = FindNextEntry()) {
        if (StopSignal() != 0) {
            if (!EndsAwaited.empty()) LogNotSent(EndsAwaited.front().file, nullptr);
            return -1;
        }
        if (SendSpoolFile(spoolDir, spoolName) != 0) return -1;
    }
    if (SettleEnds(nullptr) != 0) return -1;
    return Quit();
}

}  // namespace sendal
