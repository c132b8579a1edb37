// Queuing a message. The text is written under a hidden name in the spool folder (the spool
// search never returns hidden entries), flushed to disk, and only then linked to its spool
// name, which never replaces a file: a run that sends the spool meanwhile sees the whole
// message or nothing, and a failure leaves no spool file, so the mail program keeps its copy.
#include "driver/enqueue.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <optional>
#include <set>

#include "base/environment.h"
#include "base/fdio.h"
#include "base/outcome.h"
#include "base/text.h"
#include "driver/config.h"
#include "driver/queue.h"
#include "message/address.h"
#include "message/headers.h"
#include "message/queuestate.h"
#include "message/spool.h"

namespace sendal {
namespace {

constexpr int HighestSpoolNumber = 9999;
constexpr std::size_t CopyBlock = 1 << 16;

int Complain(const std::string& message, int code) {
    std::string line = "sendal-enqueue: " + message + "\n";
    WriteAll(STDERR_FILENO, line);
    return code;
}

struct Request {
    std::string folder;
    std::vector<std::string> recipients;
    // What the mail program asked of delivery status notifications (-N, -R, -V), checked.
    std::string dsnNotify, dsnReturn, envelopeId;
    bool done = false;  // --help or --version answered: nothing to queue
    bool list = false;  // -bp: the queue's listing instead
};

constexpr const char* UsageText =
    "usage: sendal-enqueue [options] [--] [recipient ...] < message\n"
    "Queues the message on standard input as the next spool file for sendal; sender and\n"
    "recipients come from its header, recipients given here that it does not name are added\n"
    "as Bcc. Date: and Message-ID: are added when the header has none.\n"
    "  -d folder     the spool folder (else $SENDAL_SPOOL, else the configuration's spool,\n"
    "                else ./spool)\n"
    "  -f addr, -r addr, -F name, -t, -i, -oi, -o..., -B type, -v, -bm   taken, no effect\n"
    "  -N never|success,failure,delay   -R full|hdrs   -V envid   delivery notices asked for\n"
    "  -bp           list the waiting files instead (as mailq does)\n"
    "  --help, --version\n";

// The value of an option given as "-Xvalue" or "-X value"; false when there is none.
bool OptionValue(const std::vector<std::string>& arguments, std::size_t& i, std::string& value) {
    if (arguments[i].size() > 2) {
        value = arguments[i].substr(2);
        return true;
    }
    if (i + 1 == arguments.size()) return false;
    value = arguments[++i];
    return true;
}

// Modes of a sendmail that this outbox does not have: what to do instead.
int RefuseMode(const std::string& word) {
    if (word.rfind("-q", 0) == 0)
        return Complain(word + ": the outbox only queues; run sendal to send the spool", EX_USAGE);
    return Complain(word + ": no SMTP on standard input here; give the message itself on "
                           "standard input",
                    EX_USAGE);
}

int RecordDsn(const std::string& option, const std::string& value, Request& request) {
    if (option == "-N" && ValidDsnNotify(value)) return request.dsnNotify = value, 0;
    if (option == "-R" && ValidDsnReturn(value)) return request.dsnReturn = value, 0;
    if (option == "-V" && ValidEnvelopeId(value)) return request.envelopeId = value, 0;
    return Complain("bad value for " + option + ": " + value, EX_USAGE);
}

// The configuration's spool, wherever we were started and whatever the environment holds (a
// cron mailer gets none of the crontab's variables); ./spool without a configuration.
int TakeConfiguredSpool(Request& request) {
    std::string error;
    std::int32_t loaded = ConfiguredSpool({}, request.folder, error);
    if (loaded < 0) return Complain(error, EX_CONFIG);
    if (loaded > 0 && request.list) request.folder = "spool";
    // Queued where nothing sends it, the message would be lost to the user: the mail program
    // keeps its copy instead and says why.
    if (loaded > 0 && !request.list)
        return Complain("no spool to queue into: give -d FOLDER, set SENDAL_SPOOL, or name the spool in " +
                            ConfigPath() + " (spool = \"~/mail/spool\")",
                        EX_CONFIG);
    return 0;
}

// sendmail's own flags are taken and have no effect here: the message is queued whole (a
// line of a single "." does not end it), and sender and recipients come from its header.
int ReadArguments(const std::vector<std::string>& arguments, Request& request) {
    bool onlyRecipients = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& word = arguments[i];
        std::string option = word.substr(0, 2), value;
        if (onlyRecipients || word.empty() || word[0] != '-') {
            if (HoldsControlByte(word))
                return Complain("bad recipient argument " + std::to_string(i + 1), EX_USAGE);
            for (const std::string& piece : SplitAddressList(word)) {
                std::string address = ExtractAddress(piece);
                if (!address.empty()) request.recipients.push_back(address);
            }
        } else if (word == "--") {
            onlyRecipients = true;
        } else if (word == "-bp") {
            request.list = true;
        } else if (word == "--help" || word == "--version") {
            WriteAll(STDOUT_FILENO, word == "--help" ? UsageText : "sendal-enqueue v1.33g\n");
            request.done = true;
            return 0;
        } else if (option == "-N" || option == "-R" || option == "-V") {
            if (!OptionValue(arguments, i, value)) return Complain(word + " wants a value", EX_USAGE);
            if (int refused = RecordDsn(option, value, request); refused != 0) return refused;
        } else if (word == "-d" || word == "-f" || word == "-F" || word == "-r") {
            if (i + 1 == arguments.size()) return Complain(word + " wants a value", EX_USAGE);
            if (word == "-d") request.folder = arguments[i + 1];
            ++i;
        } else if (word == "-B") {
            ++i;  // the body type, as cron gives it
        } else if (word.rfind("-q", 0) == 0 || word == "-bs") {
            return RefuseMode(word);
        } else if (option == "-f" || option == "-F" || option == "-r" || word == "-t" ||
                   word == "-i" || option == "-o" || option == "-B" || word == "-v" ||
                   word == "-bm") {
            // -faddr, -raddr and -Fname glued, -t, -i, -oi, -oem and the other -o options,
            // -B8BITMIME, -v (nothing to tell: the message is only queued), -bm (what we do)
        } else {
            return Complain("unknown option " + word, EX_USAGE);
        }
    }
    if (request.folder.empty()) request.folder = GetEnvironment("SENDAL_SPOOL");
    if (request.folder.empty()) return TakeConfiguredSpool(request);
    return 0;
}

// The folder and any missing parent.
int MakeFolder(const std::string& folder) {
    for (std::size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        std::string part = folder.substr(0, slash);
        if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return Complain("cannot make " + part + ": " + std::strerror(errno), EX_CANTCREAT);
        if (slash == std::string::npos) return 0;
    }
}

// A hidden file of our own in the folder, created new.
int CreateHidden(const std::string& folder, std::string& path, UniqueFd& fd) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        path = folder + "/.enqueue-" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
        fd.Reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
        if (fd.Valid()) return 0;
        if (errno != EEXIST) break;
    }
    return Complain("cannot write in " + folder + ": " + std::strerror(errno), EX_CANTCREAT);
}

int WriteFailed(const std::string& path, int error) {
    ::unlink(path.c_str());
    return Complain(std::string("cannot write the message: ") + std::strerror(error), EX_TEMPFAIL);
}

// Everything from `from` appended to `to`, a block at a time; with `lineEnd`, the first line
// end seen tells the message's style. 0, or -1 with errno.
int CopyBlocks(int from, int to, std::string* lineEnd) {
    std::string block(CopyBlock, '\0');
    for (;;) {
        ssize_t got = ::read(from, block.data(), block.size());
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return got == 0 ? 0 : -1;
        std::string_view data(block.data(), static_cast<std::size_t>(got));
        if (lineEnd && lineEnd->empty()) {
            std::size_t end = data.find_first_of("\r\n");
            if (end != std::string_view::npos && (data[end] == '\n' || end + 1 < data.size()))
                *lineEnd = data[end] == '\n' ? "\n" : data[end + 1] == '\n' ? "\r\n" : "\r";
        }
        if (WriteAll(to, data) != 0) return -1;
    }
}

// The recipients given as arguments that the header does not name, as one Bcc line: they are
// sent to and never shown.
std::string MissingRecipients(const std::vector<std::string>& given, const AddressList& named,
                              const std::string& lineEnd) {
    std::set<std::string> known;
    for (std::size_t i = 1; i < named.size(); ++i) known.insert(ToLowerAscii(named[i]));
    std::string line;
    for (const std::string& address : given)
        if (known.insert(ToLowerAscii(address)).second) line += (line.empty() ? "" : ", ") + address;
    return line.empty() ? line : "Bcc: " + line + (lineEnd.empty() ? "\n" : lineEnd);
}

// The fields every sendmail adds when the header lacks them (relays score mail without them as
// spam): Date: in local time with its zone, and a Message-ID: unique to this message, on the
// sender's domain. The header must be loaded (ScanHeaders) and `lineEnd` is the message's own.
std::string MissingFields(SpoolReader& reader, const AddressList& named, const std::string& lineEnd) {
    bool date = false, id = false;
    RewindSpool(reader);
    HeaderWalk walk;
    StartHeaderWalk(walk, reader);
    HeaderPart part;
    while (NextHeaderPart(walk, part)) {
        date = date || (walk.fieldStarts && walk.field == "date");
        id = id || (walk.fieldStarts && walk.field == "message-id");
    }
    std::string end = lineEnd.empty() ? "\n" : lineEnd, fields;
    std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    char stamp[64];
    if (!date && std::strftime(stamp, sizeof stamp, "%a, %d %b %Y %H:%M:%S %z", &local) > 0)
        fields += "Date: " + std::string(stamp) + end;
    if (!id) {
        std::size_t at = named[0].rfind('@');
        std::string domain = at == std::string::npos ? std::string() : named[0].substr(at + 1);
        char host[256] = {};
        if (domain.empty() || HoldsControlByte(domain) || domain.find_first_of(" <>") != std::string::npos)
            domain = ::gethostname(host, sizeof host - 1) == 0 && host[0] ? host : "localhost";
        unsigned char random[8] = {};
        if (::getrandom(random, sizeof random, 0) != sizeof random) random[0] = 0;
        std::strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &local);
        std::string unique = std::string(stamp) + "." + std::to_string(::getpid()) + ".";
        for (unsigned char byte : random) unique += "0123456789abcdef"[byte >> 4], unique += "0123456789abcdef"[byte & 15];
        fields += "Message-ID: <" + unique + "@" + domain + ">" + end;
    }
    return fields;
}

// The names in the folder.
std::vector<std::string> FolderNames(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = ::opendir(folder.c_str())) {
        while (dirent* entry = ::readdir(dir)) names.emplace_back(entry->d_name);
        ::closedir(dir);
    }
    return names;
}

int SpoolNumber(const std::string& name) {
    if (name.size() != 9 || (name[0] | 32) != 'm' || !EqualsNoCase(name.substr(5), ".out")) return 0;
    int number = 0;
    for (char c : name.substr(1, 4)) {
        if (c < '0' || c > '9') return 0;
        number = number * 10 + (c - '0');
    }
    return number;
}

// The file at `path` appended to `fd`.
int CopyFileTo(const std::string& path, int fd) {
    UniqueFd from(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    return from.Valid() ? CopyBlocks(from.Get(), fd, nullptr) : -1;
}

int Sync(int fd, const std::string& path) {
    if (::fsync(fd) == 0) return 0;
    return WriteFailed(path, errno);
}

// Links the hidden file to the next free spool name; never replaces a file.
int LinkToSpoolName(const std::string& folder, const std::string& hidden, std::string& linked) {
    std::vector<std::string> taken = FolderNames(folder);
    for (int after = 0;;) {
        std::string name = NextSpoolName(taken, after);
        if (name.empty()) {
            ::unlink(hidden.c_str());
            return Complain("no free name left in " + folder + " (m0001.out to m9999.out taken)",
                            EX_CANTCREAT);
        }
        if (::link(hidden.c_str(), (folder + "/" + name).c_str()) == 0) {
            linked = name;
            break;
        }
        if (errno != EEXIST) {
            int error = errno;
            ::unlink(hidden.c_str());
            return Complain("cannot queue in " + folder + ": " + std::strerror(error), EX_CANTCREAT);
        }
        taken.push_back(name);  // another enqueue took it first
        after = SpoolNumber(name);
    }
    ::unlink(hidden.c_str());
    UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Valid()) ::fsync(dir.Get());  // the new name is on disk too
    return 0;
}

// The delivery notices asked for go into the file's state record, for sendal to ask the relay
// (the message itself stays as written). The record is written before the message appears
// under its spool name, so no run can find the message without it; it belongs to the file by
// its identity, which the link keeps. A record that cannot be written loses only the notices.
// The record's key, or none.
std::optional<RecordKey> RecordDsnRequest(const Request& request, const std::string& hidden) {
    if (request.dsnNotify.empty() && request.dsnReturn.empty() && request.envelopeId.empty()) return {};
    QueueState state;
    std::string ignored;
    if (!RecordKeyAt(hidden, state.file) || MakeQueueFolders(request.folder, false, ignored) != 0) return {};
    state.firstSeen = static_cast<std::int64_t>(std::time(nullptr));
    state.notify = ToUpperAscii(request.dsnNotify);
    state.ret = ToUpperAscii(request.dsnReturn);
    state.envid = request.envelopeId;
    if (SaveQueueState(request.folder, state) != 0) return {};
    return state.file;
}

}  // namespace

std::string NextSpoolName(const std::vector<std::string>& taken, int after) {
    std::set<int> used;
    for (const std::string& name : taken)
        if (int number = SpoolNumber(name); number > 0) used.insert(number);
    int highest = used.empty() ? 0 : *used.rbegin();
    int number = std::max(highest, after) + 1;
    if (number > HighestSpoolNumber)
        for (number = 1; number <= HighestSpoolNumber && used.count(number); ++number) {
        }
    if (number > HighestSpoolNumber) return {};
    std::string digits = std::to_string(number);
    return "m" + std::string(4 - digits.size(), '0') + digits + ".out";
}

int RunEnqueue(const std::vector<std::string>& arguments) {
    Request request;
    if (int refused = ReadArguments(arguments, request); refused != 0 || request.done) return refused;
    if (request.list) return ListQueue(request.folder + "/m????.out");
    if (int made = MakeFolder(request.folder); made != 0) return made;
    std::string input, lineEnd;
    UniqueFd fd;
    if (int created = CreateHidden(request.folder, input, fd); created != 0) return created;
    if (CopyBlocks(STDIN_FILENO, fd.Get(), &lineEnd) != 0) return WriteFailed(input, errno);
    fd.Reset();
    AddressList named;
    SpoolReader reader;
    ScanHeaders(reader, input, named);
    std::string bcc = MissingRecipients(request.recipients, named, lineEnd);
    if (named.size() == 1 && bcc.empty()) {
        ::unlink(input.c_str());
        return Complain("no recipient in the message", EX_DATAERR);
    }
    std::string added = bcc + MissingFields(reader, named, lineEnd);
    std::string queued = input;
    if (!added.empty()) {  // the added lines first, then the message as it came
        if (int created = CreateHidden(request.folder, queued, fd); created != 0) return created;
        if (WriteAll(fd.Get(), added) != 0 || CopyFileTo(input, fd.Get()) != 0) {
            ::unlink(input.c_str());
            return WriteFailed(queued, errno);
        }
        ::unlink(input.c_str());
    } else {
        fd.Reset(::open(queued.c_str(), O_RDONLY | O_CLOEXEC));
    }
    if (int synced = Sync(fd.Get(), queued); synced != 0) return synced;
    fd.Reset();
    std::optional<RecordKey> record = RecordDsnRequest(request, queued);
    std::string name;
    int refused = LinkToSpoolName(request.folder, queued, name);
    if (refused != 0 && record) ForgetQueueState(request.folder, *record);
    return refused;
}

}  // namespace sendal
