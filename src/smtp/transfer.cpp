// The message transfer. A spool file is deleted only after the relay answered 250 to the end
// of data of its last transaction: users hand us their only copy.
#include "smtp/transfer.h"

#include "base/console.h"
#include "base/dirsearch.h"
#include "base/fdio.h"
#include "base/options.h"
#include "base/outcome.h"
#include "base/path.h"
#include "base/stop.h"
#include "log/log.h"
#include "message/headers.h"
#include "net/send.h"
#include "smtp/codes.h"
#include "smtp/command.h"
#include "smtp/envelope.h"

namespace sendal {
namespace {

// The spool file at hand.
struct SpoolFile {
    std::string dir, name;
    std::size_t delivered = 0;  // recipients whose transaction got its 250 in this run
};

// With pipelining: the end of data that went out with the next envelope, its reply unread.
struct PendingEnd {
    bool waiting = false;
    SpoolFile file;
    bool lastOfFile = false;
    std::size_t accepted = 0;
};

bool Pipelining = false;
std::string HeldTail;  // with pipelining: the last piece and end of data, not yet sent
PendingEnd Pending;

// The log tells which file stays, and why, when the run ends inside it.
void LogNotSent(const SpoolFile& file) {
    if (file.delivered > 0)
        LogMessage("Already sent to " + std::to_string(file.delivered) + " recipients of " +
                       file.name + " in this run!",
                   -1, LevelError);
    std::string line = "Not sent: " + file.name;
    if (LastReplyRefused()) line += " (" + LastReply() + ")";
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

// Reads the reply to an end of data sent with what followed it.
std::int32_t FinishPendingEnd(SpoolFile& current) {
    if (!Pending.waiting) return 0;
    Pending.waiting = false;
    if (AwaitReply(OkCode, EchoConsole) != 0) {
        LogNotSent(Pending.file);
        return -1;
    }
    if (Pending.lastOfFile) return DeleteSpoolFile(Pending.file);
    current.delivered += Pending.accepted;  // an earlier transaction of the same file
    return 0;
}

// The envelope and DATA, with their replies: pipelined after the held end of data, or one
// command at a time. 0; -1 when the relay did not take this file's envelope; -2 when the run
// ended with the message before it, which the log has already named.
std::int32_t SendEnvelope(const AddressList& list, Envelope& envelope, SpoolFile& file) {
    if (!Pipelining) return ExchangeEnvelope(list, envelope);
    std::string group = HeldTail + EnvelopeGroup(list, envelope);
    HeldTail.clear();
    if (SendData(group) != 0) {
        LogNotSent(Pending.waiting ? Pending.file : file);
        return -2;
    }
    if (FinishPendingEnd(file) != 0) return -2;
    return ReadEnvelopeReplies(list, envelope);
}

// One transaction: the envelope, the text and the end of data. 0, or -1 after the log says
// why. The file's deletion after its last transaction waits for the reply with pipelining.
std::int32_t SendTransaction(const AddressList& list, Envelope& envelope, SpoolFile& file,
                             bool othersFollow) {
    std::int32_t announced = SendEnvelope(list, envelope, file);
    if (announced == -1) LogNotSent(file);
    if (announced != 0) return -1;
    ConsoleWrite("         Sending ");
    ConsoleWriteOutside(file.name);
    std::string tail;
    std::int16_t sent = SendMessageText(tail);
    ConsoleLineEnd();  // also when the text failed, so no later line stands glued to the figure
    tail += ".\r\n";   // the last piece and the end-of-data line in one send
    bool last = !othersFollow && envelope.deferred.empty();
    if (sent == 0 && Pipelining) {
        HeldTail = std::move(tail);
        Pending = {true, file, last, envelope.accepted.size()};
        return 0;
    }
    if (sent != 0 || SendData(tail) != 0 || AwaitReply(OkCode, EchoConsole) != 0) {
        LogNotSent(file);
        return -1;
    }
    file.delivered += envelope.accepted.size();
    return last ? DeleteSpoolFile(file) : 0;
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
    std::vector<std::size_t> waiting;
    for (std::size_t entry = 1; entry < list.size(); ++entry) waiting.push_back(entry);
    while (!waiting.empty()) {
        Envelope envelope;
        std::size_t count = std::min(waiting.size(), MaxRecipients);
        envelope.recipients.assign(waiting.begin(), waiting.begin() + count);
        waiting.erase(waiting.begin(), waiting.begin() + count);
        if (SendTransaction(list, envelope, file, !waiting.empty()) != 0) return -1;
        waiting.insert(waiting.begin(), envelope.deferred.begin(), envelope.deferred.end());
    }
    return 0;
}

// With pipelining, the last end of data still waits to go out and be answered.
std::int32_t FinishSpool() {
    if (HeldTail.empty()) return 0;
    std::string tail = std::move(HeldTail);
    HeldTail.clear();
    SpoolFile none;
    if (SendData(tail) == 0) return FinishPendingEnd(none);
    LogNotSent(Pending.file);
    return -1;
}

}  // namespace

std::string SpoolDirectory(const std::string& fileMask) {
    return fileMask.substr(0, DirectoryPartLength(fileMask));
}

std::int32_t TransferSpool(const std::string& fileMask) {
    Pipelining = UsesEhlo() && Offers("PIPELINING");
    std::string spoolName = FindFirstEntry(fileMask, SearchFiles);
    std::string spoolDir = SpoolDirectory(fileMask);
    for (; !spoolName.empty(); spoolName = FindNextEntry()) {
        if (StopSignal() != 0) {
            if (Pending.waiting) LogNotSent(Pending.file);  // its end of data never went out
            return -1;
        }
        if (SendSpoolFile(spoolDir, spoolName) != 0) return -1;
    }
    if (FinishSpool() != 0) return -1;
    LogMessage("QUIT", -1, LevelNormal);
    return Exchange("QUIT", AnyCode, EchoConsole);
}

}  // namespace sendal
