// The listing reads each file's header and state record and never changes either; release and
// remove touch the held folder only, so neither can send or lose a file of the spool.
#include "driver/queue.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <sstream>
#include <vector>

#include "base/console.h"
#include "base/dirsearch.h"
#include "base/outcome.h"
#include "base/path.h"
#include "base/text.h"
#include "driver/config.h"
#include "driver/enqueue.h"
#include "message/headers.h"
#include "message/queuestate.h"
#include "message/spool.h"
#include "smtp/transfer.h"

namespace sendal {
namespace {

constexpr const char* DefaultMask = ".\\spool\\m????.out";
constexpr const char* SpoolMaskName = "m????.out";

std::string Age(std::int64_t seconds) {
    if (seconds < 3600) return std::to_string(std::max<std::int64_t>(seconds / 60, 0)) + " min";
    if (seconds < 2 * 86400) return std::to_string(seconds / 3600) + " h";
    return std::to_string(seconds / 86400) + " d";
}

std::string Clock(std::int64_t when) {
    std::time_t time = static_cast<std::time_t>(when);
    std::tm local{};
    ::localtime_r(&time, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
    return text;
}

// A value from a file shown on the terminal: no control byte can drive it.
std::string Shown(const std::string& text) {
    return ReplaceTerminalControls(text, '?');
}

std::string Joined(const AddressList& list) {
    std::string text;
    for (std::size_t i = 1; i < list.size(); ++i) text += (i > 1 ? ", " : "") + list[i];
    return text;
}

// One file: its line with name, age, size, sender and recipients, and the line of its tries.
void ListFile(const std::string& folder, const std::string& name, std::int64_t now) {
    std::string path = JoinPath(folder, name);
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return;
    AddressList list;
    SpoolLoad loaded = ScanHeaders(path, list);
    QueueState state;
    bool known = LoadQueueState(folder, RecordKeyOf(info), state);
    std::int64_t since = known && state.firstSeen > 0 ? state.firstSeen : static_cast<std::int64_t>(info.st_mtime);
    std::ostringstream line;
    line << name << "  " << Age(now - since) << "  " << info.st_size << " bytes";
    if (loaded == SpoolLoad::Busy) line << "  (being written)";
    else if (loaded == SpoolLoad::Linked) line << "  (a symbolic link: never sent)";
    else if (loaded != SpoolLoad::Loaded) line << "  (cannot be read)";
    else line << "  from " << (list[0].empty() ? "<>" : list[0]) << "  to " << (list.size() > 1 ? Joined(list) : "nobody");
    WriteStdoutLine(Shown(line.str()));
    std::string tries = !known || state.tries == 0
                            ? "    not tried yet"
                            : "    tries " + std::to_string(state.tries) + ", last " + Clock(state.lastTry) + ": " +
                                  state.outcome + ": " + state.reason;
    if (!state.notify.empty()) tries += "  (notices: " + state.notify + ")";
    WriteStdoutLine(Shown(tries));
}

std::vector<std::string> HeldNames(const std::string& held) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(held.c_str()), ::closedir);
    if (!listing) return names;
    while (dirent* entry = ::readdir(listing.get()))
        if (entry->d_name[0] != '.' && entry->d_type != DT_DIR) names.push_back(entry->d_name);
    std::sort(names.begin(), names.end());
    return names;
}

void ListHeld(const std::string& folder, std::int64_t now) {
    std::string held = JoinPath(folder, HeldFolderName);
    if (std::string why = RefusedFolder(held); !why.empty()) {
        if (why.rfind("cannot be read", 0) != 0) WriteStdoutLine(Shown("Folder refused: " + held + " (" + why + ")!"));
        return;
    }
    std::vector<std::string> names = HeldNames(held);
    if (names.empty()) return;
    WriteStdoutLine(Shown(std::to_string(names.size()) + " held in " + held +
                          " (sendal --release NAME sends it again, --remove NAME deletes it):"));
    for (const std::string& name : names) ListFile(held, name, now);
}

// The spool folder: the mask's, else the configuration's, else ./spool. 0, or an exit code
// after the message.
int SpoolMask(const std::string& given, const std::string& configName, std::string& mask) {
    if (!given.empty()) return mask = given, 0;
    std::string spool, error;
    std::int32_t loaded = ConfiguredSpool(configName, spool, error);
    if (loaded < 0) {
        WriteStdoutLine(error);
        return EX_CONFIG;
    }
    mask = loaded == 0 ? spool + "/" + SpoolMaskName : DefaultMask;
    return 0;
}

bool PlainName(const std::string& name) {
    return !name.empty() && name[0] != '.' && name.find('/') == std::string::npos &&
           name.find('\\') == std::string::npos;
}

// The path of the held file `name`: a plain name of a regular file in the held folder, never
// a path that leads elsewhere. Empty when there is none.
std::string HeldPath(const std::string& folder, const std::string& name) {
    if (!RefusedFolder(JoinPath(folder, HeldFolderName)).empty()) return {};  // a link leads elsewhere
    std::string held = JoinPath(JoinPath(folder, HeldFolderName), name);
    struct stat info {};
    bool found = PlainName(name) && ::lstat(held.c_str(), &info) == 0 && S_ISREG(info.st_mode);
    return found ? held : std::string();
}

int Release(const std::string& folder, const std::string& name) {
    std::string held = HeldPath(folder, name);
    if (held.empty()) {
        WriteStdoutLine(Shown("No held file " + name + "!"));
        return EX_NOINPUT;
    }
    RecordKey key;
    QueueState state;
    bool recorded = RecordKeyAt(held, key) && LoadQueueState(JoinPath(folder, HeldFolderName), key, state);
    std::vector<std::string> taken;
    std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(folder.c_str()), ::closedir);
    if (listing)
        while (dirent* entry = ::readdir(listing.get())) taken.push_back(entry->d_name);
    for (int after = 0;;) {
        std::string spoolName = NextSpoolName(taken, after);
        if (spoolName.empty()) {
            WriteStdoutLine("No free spool name left!");
            return EX_CANTCREAT;
        }
        if (::link(held.c_str(), JoinPath(folder, spoolName).c_str()) == 0) {
            ::unlink(held.c_str());
            ForgetQueueState(JoinPath(folder, HeldFolderName), key);
            std::string ignored;
            if (recorded && MakeQueueFolders(folder, false, ignored) == 0) {  // its DSN requests go with it
                state.outcome = "released";
                state.noticed = false;
                SaveQueueState(folder, state);
            }
            WriteStdoutLine(Shown("Released: " + name + " as " + spoolName));
            return 0;
        }
        if (errno != EEXIST) {
            WriteStdoutLine(Shown("Can't release " + name + ": " + std::strerror(errno) + "!"));
            return EX_CANTCREAT;
        }
        taken.push_back(spoolName);
    }
}

int Remove(const std::string& folder, const std::string& name) {
    std::string held = HeldPath(folder, name);
    if (held.empty()) {
        WriteStdoutLine(Shown("No held file " + name + " (only held files can be removed)!"));
        return EX_NOINPUT;
    }
    RecordKey key;
    bool known = RecordKeyAt(held, key);
    if (::unlink(held.c_str()) != 0) {
        WriteStdoutLine(Shown("Can't remove " + name + ": " + std::strerror(errno) + "!"));
        return EX_CANTCREAT;
    }
    if (known) ForgetQueueState(JoinPath(folder, HeldFolderName), key);
    WriteStdoutLine(Shown("Removed: " + name));
    return 0;
}

}  // namespace

int ListQueue(const std::string& mask) {
    std::string folder = SpoolFolderOf(mask);
    std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    std::vector<std::string> names;
    for (std::string name = FindFirstEntry(mask, SearchFiles); !name.empty(); name = FindNextEntry())
        names.push_back(name);
    WriteStdoutLine(Shown(names.empty() ? "No file waits in " + folder + "."
                                        : std::to_string(names.size()) + " waiting in " + folder + ":"));
    for (const std::string& name : names) ListFile(folder, name, now);
    ListHeld(folder, now);
    return 0;
}

int RunQueueCommand(const RunOptions& options) {
    std::string mask;
    bool listing = options.form == RunForm::Queue;
    if (int failed = SpoolMask(listing ? options.fileMask : std::string(), options.configName, mask); failed != 0)
        return failed;
    if (listing) return ListQueue(mask);
    std::string folder = SpoolFolderOf(mask);
    const char* command = options.form == RunForm::Release ? "--release" : "--remove";
    if (options.heldName.empty()) return WriteStdoutLine(std::string(command) + " needs the name of a held file!"), EX_USAGE;
    return options.form == RunForm::Release ? Release(folder, options.heldName) : Remove(folder, options.heldName);
}

}  // namespace sendal
