// Credentials from a netrc file.
#include "base/netrc.h"

#include <sys/stat.h>
#include <unistd.h>

#include <sstream>
#include <vector>

#include "base/environment.h"
#include "base/fdio.h"
#include "base/text.h"
#include "log/log.h"

namespace sendal {
namespace {

std::string NetrcPath() {
    std::string path = GetEnvironment("SENDAL_NETRC");
    if (!path.empty()) return path;
    return GetEnvironment("HOME") + "/.netrc";
}

// A password file anybody else may read, or replace, gives away or forges the secret.
bool PrivateToUser(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           info.st_uid == ::getuid() && (info.st_mode & 077) == 0;
}

}  // namespace

bool FindNetrcEntry(const std::string& text, const std::string& host, std::string& user,
                    std::string& password) {
    struct Entry {
        std::string machine, login, password;
        bool isDefault = false;
    };
    std::vector<Entry> entries;
    std::istringstream tokens(text);
    std::string token, value;
    while (tokens >> token) {
        if (token == "default") {
            entries.push_back({});
            entries.back().isDefault = true;
            continue;
        }
        if (!(tokens >> value)) break;
        if (token == "machine") entries.push_back({value, "", "", false});
        if (entries.empty()) continue;
        if (token == "login") entries.back().login = value;
        if (token == "password") entries.back().password = value;
    }
    for (bool wantDefault : {false, true})
        for (const Entry& entry : entries)
            if (entry.isDefault == wantDefault && !entry.password.empty() &&
                (wantDefault || EqualsNoCase(entry.machine, host))) {
                user = entry.login;
                password = entry.password;
                return true;
            }
    return false;
}

std::int32_t ReadCredentials(const std::string& host) {
    std::string path = NetrcPath();
    std::string text;
    if (ReadWholeFile(path, text) == 0 && !PrivateToUser(path)) {
        LogMessage(path + " must be readable by its owner only!", -1, LevelError);
        return -1;
    }
    RelayUser.clear();
    RelayPassword.clear();
    if (FindNetrcEntry(text, host, RelayUser, RelayPassword)) return 0;
    LogMessage("No password for " + host + " in " + path + "!", -1, LevelError);
    return -1;
}

}  // namespace sendal
