// Relay notes: one empty file per relay that refused BDAT, named after its host and port.
#include "queue/relaynotes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "base/environment.h"
#include "base/path.h"
#include "message/queuestate.h"

namespace sendal {
namespace {

std::string NotesFolder() {
    std::string home = StateHome();
    return home.empty() ? home : JoinPath(home, "relays");
}

// A host name may hold anything the command line gave: only letters, digits, dots, hyphens
// and colons (IPv6) stand in a file name.
std::string NoteName(const std::string& host, std::int32_t port) {
    std::string name;
    for (char c : host) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                     c == '.' || c == '-' || c == ':';
        name += plain ? c : '_';
    }
    return name + "," + std::to_string(port) + ".nochunking";
}

}  // namespace

std::string PrepareRelayNotes() {
    std::string folder = NotesFolder();
    if (folder.empty() || MakeParentFolders(folder) != 0) return {};
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return {};
    // The run may write here once confined: never through a link, nor in another's folder.
    if (!RefusedFolder(folder).empty() || !RefusedFolder(folder.substr(0, folder.rfind('/'))).empty()) return {};
    return folder;
}

bool RelayRefusesChunking(const std::string& host, std::int32_t port) {
    std::string folder = NotesFolder();
    struct stat info {};
    return !folder.empty() && ::lstat(JoinPath(folder, NoteName(host, port)).c_str(), &info) == 0 &&
           S_ISREG(info.st_mode);
}

std::int32_t NoteRelayRefusesChunking(const std::string& host, std::int32_t port, std::string& why) {
    std::string folder = NotesFolder();
    if (folder.empty()) return 0;
    std::string path = JoinPath(folder, NoteName(host, port));
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) return ::close(fd), 0;
    why = "Can't note " + path + ": " + std::strerror(errno) + "!";
    return -1;
}

}  // namespace sendal
