// The message transfer. A spool file is deleted only after the relay answered 2xx to the end
// of data of its last transaction, and only if its name still stands for the file that was
// sent: users hand us their only copy. The reply queue decides when commands go out; this part
// keeps the order of the files, their deletions and what the log says of each.
#include "smtp/transfer.h"

#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <set>
#include <sstream>

#include "base/console.h"
#include "base/dirsearch.h"
#include "base/fdio.h"
#include "base/runoptions.h"
#include "base/outcome.h"
#include "base/path.h"
#include "base/stop.h"
#include "base/text.h"
#include "log/log.h"
#include "message/headers.h"
#include "message/spool.h"
#include "net/send.h"
#include "smtp/codes.h"
#include "smtp/command.h"
#include "smtp/chunking.h"
#include "smtp/envelope.h"
#include "queue/fate.h"
#include "queue/records.h"
#include "smtp/inflight.h"

namespace sendal {
namespace {

// A relay that takes less than this takes no real message: its SIZE limit refuses the
// relay, not the file (RFC 5321 asks for at least 64 KB; some relays are set lower on purpose).
constexpr std::uint64_t SmallestSaneSizeLimit = 1000;

std::set<std::string> HandledThisRun;  // sent or kept: a second pass after a reconnect skips them
std::set<std::string> TriedAgain;      // left by a relay that closed the session, tried once more
// The starts of the last files under -rate=N, the oldest first (at most N of them).
std::deque<std::chrono::steady_clock::time_point> PacedStarts;
// A relay that allows N messages a minute counts them in its own sliding minute, by its own
// clock and at its own moment of each transaction: N files keep to a little more than that.
constexpr auto PaceWindow = std::chrono::seconds(62);

// One transaction: the envelope, the text and the end of data, whose reply is read now or,
// pipelined, with the next envelope. RunEnds after the log says why.
Fate SendTransaction(SpoolReader& reader, const AddressList& list, Envelope& envelope, SpoolFile& file,
                     bool othersFollow) {
    if (CurrentSession.chunking) return SendChunkedTransaction(reader, list, envelope, file, othersFollow);
    std::int32_t announced = QueueEnvelope(list, envelope);
    if (Fate settled = SettleEarlier(&file); settled != Fate::GoesOn) return settled;
    if (announced == 0) announced = AwaitGoAhead(envelope);
    if (announced != 0) return KeepRefusedEnvelope(file, envelope);
    ConsoleWrite("         Sending ");
    ConsoleWriteOutside(file.name);
    std::string tail;
    std::int16_t sent = SendMessageText(reader, tail);
    ConsoleLineEnd();  // also when the text failed, so no later line stands glued to the figure
    if (sent != 0 && sent != SendBroken) {
        LogNotSent(file, nullptr);
        return Fate::RunEnds;
    }
    // With DATA a transaction can only be abandoned with the connection.
    if (sent == 0 && SpoolFileChanged(reader))
        return ReportChangedFile(file) == Fate::GoesOn ? Fate::SessionAbandoned : Fate::RunEnds;
    // A relay that hung up in the middle of the text may have said why: its reply is the
    // end of data's.
    auto end = std::make_shared<EndAwaited>();
    end->file = file;
    end->lastOfFile = !othersFollow && envelope.deferred.empty();
    end->accepted = envelope.accepted.size();
    QueueEndOfData(tail, sent == SendBroken, std::move(end));
    return Pipelined() && sent == 0 ? Fate::GoesOn : SettleEarlier(&file);
}

// The sizes the relay is told of. Fate::FileKept for a file larger than the relay takes.
Fate SizeUp(SpoolReader& reader, const AddressList& list, const SpoolFile& file, std::string& parameters) {
    parameters.clear();
    if (!UsesEhlo(*CurrentSession.options) || (!Offers("SIZE") && !Offers("8BITMIME"))) return Fate::GoesOn;
    TextMeasure measure;
    if (MeasureSpoolText(reader, measure) != 0) return Fate::GoesOn;  // the transfer's own read reports it
    std::uint64_t limit = OfferedSizeLimit();
    if (limit != 0 && measure.wireBytes > limit) {
        if (SettleEarlier(nullptr) != Fate::GoesOn) return Fate::RunEnds;
        // A limit below what every relay must take refuses the relay, not this message: the
        // file is not held, and the others would fare no better.
        bool sane = limit >= SmallestSaneSizeLimit;
        FileVerdict tooBig;
        tooBig.verdict = Verdict::TooBig;
        tooBig.forGood = sane;
        tooBig.why = std::to_string(measure.wireBytes) + " bytes, the relay takes " + std::to_string(limit);
        DecideFile(file, tooBig);
        return CurrentSession.options->keepGoing && sane ? Fate::FileKept : Fate::RunEnds;
    }
    parameters = MailParameters(list, measure.wireBytes, measure.eightBit);
    return Fate::GoesOn;
}

// What the records, the journal and a notice tell of the file just loaded.
void DescribeFile(const SpoolReader& reader, SpoolFile& file, const AddressList& list) {
    file.identity = LoadedSpoolIdentity(reader);
    file.sender = list[0];
    file.recipientCount = list.size() - 1;
    for (std::size_t i = 1; i < list.size(); ++i) file.recipients += (i > 1 ? ", " : "") + list[i];
    struct stat info {};  // the journal line's alone
    if (CurrentSession.options->syslog && ::stat(file.path.c_str(), &info) == 0) file.size = static_cast<std::uint64_t>(info.st_size);
}

// With -rate=N no N+1 files start within the pace window, and they start evenly spaced (one
// window / N apart), so no relay that counts N a minute in a sliding minute sees one more;
// a stop ends the wait. The files before are settled first, so none waits out the pause
// undeleted after its 2xx. GoesOn or RunEnds.
Fate PaceFiles() {
    const std::size_t rate = static_cast<std::size_t>(CurrentSession.options->rate);
    if (rate == 0) return Fate::GoesOn;
    auto due = std::chrono::steady_clock::now();
    if (!PacedStarts.empty())
        due = std::max(due, PacedStarts.back() + std::chrono::nanoseconds(PaceWindow) / static_cast<std::int64_t>(rate));
    if (PacedStarts.size() >= rate) due = std::max(due, PacedStarts[PacedStarts.size() - rate] + PaceWindow);
    PacedStarts.push_back(due);
    if (PacedStarts.size() > rate) PacedStarts.pop_front();
    if (std::chrono::steady_clock::now() < due && SettleEarlier(nullptr) != Fate::GoesOn) return Fate::RunEnds;
    while (StopSignal() == 0 && std::chrono::steady_clock::now() < due) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(due - std::chrono::steady_clock::now());
        ::poll(nullptr, 0, static_cast<int>(std::clamp<long long>(left.count(), 1, 100)));
    }
    return Fate::GoesOn;
}

// The delivery notices the file's sender asked for: RET= and ENVID= added to `parameters`,
// NOTIFY= returned for each recipient; nothing where the relay takes no DSN requests.
std::string AskNotices(const SpoolFile& file, std::string& parameters) {
    QueueState record = FileRecord(file);
    // A record is a file anyone with the user's rights may have written: only values the
    // outbox would take go on the wire.
    bool bad = false;
    for (auto [value, valid] : {std::pair{&record.notify, &ValidDsnNotify}, std::pair{&record.ret, &ValidDsnReturn},
                                std::pair{&record.envid, &ValidEnvelopeId}})
        if (!value->empty() && !valid(*value)) {
            value->clear();
            bad = true;
        }
    if (bad) LogMessage("Bad DSN request dropped for " + file.name + "!", LevelWarning);
    if (record.notify.empty() && record.ret.empty() && record.envid.empty()) return {};
    if (!UsesEhlo(*CurrentSession.options) || !Offers("DSN")) {
        if (!CurrentSession.toldNoDsn)
            LogMessage("The relay takes no DSN requests: mail goes without them!", LevelWarning);
        CurrentSession.toldNoDsn = true;
        return {};
    }
    if (!record.ret.empty()) parameters += " RET=" + ToUpperAscii(record.ret);
    if (!record.envid.empty()) parameters += " ENVID=" + XText(record.envid);
    return record.notify;
}

// Why a file is not sent in this run, when it cannot even be read as a message: the next file
// follows.
Fate ReportUnsendable(SpoolLoad scanned, const SpoolFile& file) {
    const std::string& name = file.name;
    if (scanned == SpoolLoad::Busy) {
        LogMessage("Waiting: " + name + " is still being written!", LevelWarning);
    } else if (scanned == SpoolLoad::Linked) {
        NoteOutcome(EX_NOINPUT);
        LogMessage("Kept: " + name + " is a symbolic link!", LevelWarning);
    } else if (scanned == SpoolLoad::Unreadable) {
        NoteOutcome(EX_NOINPUT);
        LogMessage("Can't read " + name + "!", LevelError);
    } else {
        FileVerdict empty;
        empty.verdict = Verdict::NoRecipient;
        DecideFile(file, empty);
    }
    return Fate::GoesOn;
}

// What the relay's LIMITS offer says of `name` (RCPTMAX, MAILMAX); 0 when it says nothing.
std::size_t OfferedLimit(const std::string& name) {
    std::istringstream limits(OfferedParameters("LIMITS"));
    for (std::string pair; limits >> pair;)
        if (pair.size() > name.size() + 1 && pair.compare(0, name.size() + 1, name + "=") == 0 &&
            pair.find_first_not_of("0123456789", name.size() + 1) == std::string::npos && pair.size() - name.size() < 9)
            return std::stoul(pair.substr(name.size() + 1));
    return 0;
}

std::size_t RecipientsPerTransaction() {
    std::size_t most = CurrentSession.recipientsMost;
    return most == 0 ? MaxRecipients : std::min(most, MaxRecipients);
}

// Whether the relay's MAILMAX leaves no room for the transactions `file` needs in this session:
// a new session then takes it whole (one that has sent nothing yet tries anyway).
bool SessionFull(std::size_t recipients) {
    std::size_t most = CurrentSession.transactionsMost;
    if (most == 0 || CurrentSession.transactions == 0) return false;
    std::size_t per = RecipientsPerTransaction(), needed = recipients == 0 ? 1 : (recipients + per - 1) / per;
    return CurrentSession.transactions + needed > most;
}

// One spool file from its header scan to its last transaction, in as many transactions as its
// recipients need. GoesOn (sent or kept), SessionAbandoned, or RunEnds.
Fate SendSpoolFile(SpoolReader& reader, const std::string& spoolFolder, const std::string& spoolName) {
    SpoolFile file;
    file.name = spoolName;
    file.path = JoinPath(spoolFolder, spoolName);
    AddressList list;
    // An unreadable file must not go out as an empty message and then be deleted.
    SpoolLoad scanned = ScanHeaders(reader, file.path, list, &file.subject);
    if (scanned == SpoolLoad::Loaded) DescribeFile(reader, file, list);
    if (scanned != SpoolLoad::Loaded || list.size() == 1) return ReportUnsendable(scanned, file);
    if (SessionFull(list.size() - 1)) return Fate::SessionFull;
    if (!CurrentSession.options->from.empty()) list[0] = CurrentSession.options->from;
    if (PaceFiles() != Fate::GoesOn) return Fate::RunEnds;
    std::string parameters;
    if (Fate sized = SizeUp(reader, list, file, parameters); sized != Fate::GoesOn)
        return sized == Fate::FileKept ? Fate::GoesOn : Fate::RunEnds;
    std::string notify = AskNotices(file, parameters);
    std::vector<std::size_t> waiting;
    for (std::size_t entry = 1; entry < list.size(); ++entry) waiting.push_back(entry);
    while (!waiting.empty()) {
        Envelope envelope;
        envelope.mailParameters = parameters;
        envelope.notify = notify;
        std::size_t count = std::min(waiting.size(), RecipientsPerTransaction());
        envelope.recipients.assign(waiting.begin(), waiting.begin() + count);
        waiting.erase(waiting.begin(), waiting.begin() + count);
        ++CurrentSession.transactions;
        Fate sent = SendTransaction(reader, list, envelope, file, !waiting.empty());
        if (sent == Fate::FileKept) return Fate::GoesOn;
        if (sent != Fate::GoesOn) return sent;
        waiting.insert(waiting.begin(), envelope.deferred.begin(), envelope.deferred.end());
    }
    return Fate::GoesOn;
}

std::int32_t Quit() {
    LogMessage("QUIT", LevelNormal);
    Reply reply;
    return Exchange("QUIT", reply, EchoConsole);  // whatever it says, the mail is delivered
}

}  // namespace

std::string SpoolDirectory(const std::string& fileMask) {
    return fileMask.substr(0, DirectoryPartLength(fileMask));
}

std::int32_t ReportDeniedListing(const std::string& fileMask) {
    int denied = LastSearchDenied();
    if (denied == 0) return 0;
    return ReportFailure("Can't list " + SpoolFolderOf(fileMask) + ": " + std::strerror(denied) + "!", EX_OSERR);
}

std::string SpoolFolderOf(const std::string& fileMask) {
    std::string folder = ResolvePath(SpoolDirectory(fileMask));
    return folder.empty() ? "." : folder;
}

void StartSpoolRun() {
    HandledThisRun.clear();
    TriedAgain.clear();
    PacedStarts.clear();  // a new connection of the same run keeps counting, as the relay does
}

bool TryAgainAfterClosing(const std::string& name) {
    if (!TriedAgain.insert(name).second) return false;
    HandledThisRun.erase(name);
    return true;
}

TransferEnd TransferSpool(const std::string& fileMask, const SpoolSelection& selection) {
    CurrentSession.pipelining = UsesEhlo(*CurrentSession.options) && Offers("PIPELINING");
    CurrentSession.chunking = Pipelined() && Offers("CHUNKING") && !CurrentSession.options->noChunking && !RelayChunking.refused;
    AcknowledgeAtOnce = CurrentSession.pipelining;
    if (UsesEhlo(*CurrentSession.options)) {
        CurrentSession.recipientsMost = OfferedLimit("RCPTMAX");
        CurrentSession.transactionsMost = OfferedLimit("MAILMAX");
    }
    std::string spoolName = FindFirstEntry(fileMask, SearchFiles);
    if (ReportDeniedListing(fileMask) != 0) return TransferEnd::Failed;
    SpoolReader reader;  // each file in turn, from its scan to its last byte sent
    // The folder looked up once for the run: every file's path is this folder and its name.
    std::string spoolFolder = ResolvePath(SpoolDirectory(fileMask));
    bool failed = false;
    for (; !spoolName.empty() && !failed; spoolName = FindNextEntry()) {
        if (StopSignal() != 0) {
            failed = true;
            break;
        }
        if (selection.chosen && selection.names.count(spoolName) == 0) continue;
        if (!HandledThisRun.insert(spoolName).second) continue;
        Fate sent = SendSpoolFile(reader, spoolFolder, spoolName);
        if (sent == Fate::SessionFull) {  // the relay's MAILMAX: the rest go over a new session
            HandledThisRun.erase(spoolName);
            SettleInFlight();
            if (CurrentSession.failed || SessionOutOfStep() || StopSignal() != 0) return TransferEnd::Failed;
            Quit();
            return TransferEnd::Abandoned;
        }
        if (sent == Fate::ChunkingRefused) HandledThisRun.erase(spoolName);  // once more, with DATA
        if (sent == Fate::SessionAbandoned || sent == Fate::ChunkingRefused) {
            SettleInFlight();
            return TransferEnd::Abandoned;
        }
        failed = sent != Fate::GoesOn;
    }
    // Every end settles what the relay already has, so no file it took stays to go twice.
    if (failed || SettleEarlier(nullptr) != Fate::GoesOn) {
        SettleInFlight();
        // A relay that closed the session takes the rest over a new one (-keepgoing).
        if (CurrentSession.relayClosed && StopSignal() == 0 && !SessionOutOfStep()) return TransferEnd::Abandoned;
        return TransferEnd::Failed;
    }
    return Quit() == 0 ? TransferEnd::Done : TransferEnd::Failed;
}

}  // namespace sendal
