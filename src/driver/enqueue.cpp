// Queuing a message. The text is written under a hidden name in the spool folder (the spool
// search never returns hidden entries), flushed to disk, and only then linked to its spool
// name, which never replaces a file: a run that sends the spool meanwhile sees the whole
// message or nothing, and a failure leaves no spool file, so the mail program keeps its copy.
#include "driver/enqueue.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>

#include "base/environment.h"
#include "base/fdio.h"
#include "base/outcome.h"
#include "base/text.h"
#include "message/address.h"
#include "message/headers.h"

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
};

// sendmail's own flags are taken and have no effect here: the message is queued whole (a
// line of a single "." does not end it), and sender and recipients come from its header.
int ReadArguments(const std::vector<std::string>& arguments, Request& request) {
    bool onlyRecipients = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& word = arguments[i];
        if (onlyRecipients || word.empty() || word[0] != '-') {
            for (const std::string& piece : SplitAddressList(word)) {
                std::string address = ExtractAddress(piece);
                if (!address.empty()) request.recipients.push_back(address);
            }
        } else if (word == "--") {
            onlyRecipients = true;
        } else if (word == "-d" || word == "-f" || word == "-F") {
            if (i + 1 == arguments.size()) return Complain(word + " wants a value", EX_USAGE);
            if (word == "-d") request.folder = arguments[i + 1];
            ++i;
        } else if (word == "-B") {
            ++i;  // the body type, as cron gives it
        } else if (word.rfind("-f", 0) == 0 || word.rfind("-F", 0) == 0 || word == "-t" ||
                   word == "-i" || word.rfind("-o", 0) == 0 || word.rfind("-B", 0) == 0) {
            // -faddr and -Fname glued, -t, -i, -oi, -oem and the other -o options, -B8BITMIME
        } else {
            return Complain("unknown option " + word, EX_USAGE);
        }
    }
    if (request.folder.empty()) request.folder = GetEnvironment("SENDAL_SPOOL");
    if (request.folder.empty()) request.folder = "spool";
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
int LinkToSpoolName(const std::string& folder, const std::string& hidden) {
    std::vector<std::string> taken = FolderNames(folder);
    for (int after = 0;;) {
        std::string name = NextSpoolName(taken, after);
        if (name.empty()) {
            ::unlink(hidden.c_str());
            return Complain("no free name left in " + folder + " (m0001.out to m9999.out taken)",
                            EX_CANTCREAT);
        }
        if (::link(hidden.c_str(), (folder + "/" + name).c_str()) == 0) break;
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
    if (int refused = ReadArguments(arguments, request); refused != 0) return refused;
    if (int made = MakeFolder(request.folder); made != 0) return made;
    std::string input, lineEnd;
    UniqueFd fd;
    if (int created = CreateHidden(request.folder, input, fd); created != 0) return created;
    if (CopyBlocks(STDIN_FILENO, fd.Get(), &lineEnd) != 0) return WriteFailed(input, errno);
    fd.Reset();
    AddressList named;
    ScanHeaders(input, named);
    std::string bcc = MissingRecipients(request.recipients, named, lineEnd);
    if (named.size() == 1 && bcc.empty()) {
        ::unlink(input.c_str());
        return Complain("no recipient in the message", EX_DATAERR);
    }
    std::string queued = input;
    if (!bcc.empty()) {  // the Bcc line first, then the message as it came
        if (int created = CreateHidden(request.folder, queued, fd); created != 0) return created;
        if (WriteAll(fd.Get(), bcc) != 0 || CopyFileTo(input, fd.Get()) != 0) {
            ::unlink(input.c_str());
            return WriteFailed(queued, errno);
        }
        ::unlink(input.c_str());
    } else {
        fd.Reset(::open(queued.c_str(), O_RDONLY | O_CLOEXEC));
    }
    if (int synced = Sync(fd.Get(), queued); synced != 0) return synced;
    fd.Reset();
    return LinkToSpoolName(request.folder, queued);
}

}  // namespace sendal
