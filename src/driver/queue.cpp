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
#include "driver/queuelist.h"
#include "message/headers.h"
#include "message/queuestate.h"
#include "message/spool.h"
#include "smtp/transfer.h"

namespace sendal {
namespace {

constexpr const char* DefaultMask = ".\\spool\\m????.out";
constexpr const char* SpoolMaskName = "m????.out";

// A value from a file shown on the terminal: no control byte can drive it.
std::string Shown(const std::string& text) {
    return ReplaceTerminalControls(text, '?');
}

// The spool folder: the mask's, else the configuration's, else ./spool. 0, or an exit code
// after the message.
// The configuration, when there is one, also names the account of each file.
int SpoolMask(const std::string& given, const std::string& configName, std::string& mask, Config& config,
              bool& configured) {
    config.path = ConfigPath(configName);
    std::string error;
    std::int32_t loaded = LoadConfig(config, error);
    configured = loaded == 0;
    if (!given.empty()) return mask = given, 0;
    if (loaded < 0) {
        WriteStdoutLine(error);
        return EX_CONFIG;
    }
    mask = loaded == 0 ? config.spool + "/" + SpoolMaskName : DefaultMask;
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

int ListQueue(const std::string& mask, bool json, const Config* config) {
    std::vector<QueueEntry> entries = GatherQueue(mask, config);
    if (json) PrintQueueJson(entries);
    else PrintQueue(entries, SpoolFolderOf(mask), static_cast<std::int64_t>(std::time(nullptr)));
    return 0;
}

int RunQueueCommand(const RunOptions& options) {
    std::string mask;
    Config config;
    bool configured = false, listing = options.form == RunForm::Queue;
    if (int failed = SpoolMask(listing ? options.fileMask : std::string(), options.configName, mask, config, configured);
        failed != 0)
        return failed;
    if (listing) return ListQueue(mask, options.json, configured ? &config : nullptr);
    std::string folder = SpoolFolderOf(mask);
    const char* command = options.form == RunForm::Release ? "--release" : "--remove";
    if (options.argument.empty()) return WriteStdoutLine(std::string(command) + " needs the name of a held file!"), EX_USAGE;
    return options.form == RunForm::Release ? Release(folder, options.argument) : Remove(folder, options.argument);
}

}  // namespace sendal
