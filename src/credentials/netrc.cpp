// Credentials from a netrc file and the password command.
#include "credentials/netrc.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "base/environment.h"
#include "base/fdio.h"
#include "base/outcome.h"
#include "base/path.h"
#include "credentials/secretcommand.h"
#include "base/text.h"
#include "log/log.h"

namespace sendal {
namespace {

// No honest netrc comes near this; a larger one is a mistake or an attack on our memory.
constexpr off_t MaxNetrcSize = 1 << 20;

std::string NetrcPath() {
    std::string path = GetEnvironment("SENDAL_NETRC");
    if (!path.empty()) return path;
    return GetEnvironment("HOME") + "/.netrc";
}

// The tokens of a netrc text.
struct NetrcReader {
    const std::string& text;
    std::size_t pos = 0;
    bool lineStart = true;
};

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Skips blanks and comment lines; false at the end of the text.
bool SkipSpace(NetrcReader& reader) {
    const std::string& text = reader.text;
    while (reader.pos < text.size()) {
        char c = text[reader.pos];
        if (c == '#' && reader.lineStart) {
            std::size_t end = text.find('\n', reader.pos);
            reader.pos = end == std::string::npos ? text.size() : end;
        } else if (IsBlank(c)) {
            reader.lineStart = c == '\n' || (reader.lineStart && c != '\n');
            ++reader.pos;
        } else {
            return true;
        }
    }
    return false;
}

bool NextToken(NetrcReader& reader, std::string& token) {
    token.clear();
    if (!SkipSpace(reader)) return false;
    const std::string& text = reader.text;
    reader.lineStart = false;
    if (text[reader.pos] == '"') {
        for (++reader.pos; reader.pos < text.size() && text[reader.pos] != '"'; ++reader.pos) {
            if (text[reader.pos] == '\\' && reader.pos + 1 < text.size()) ++reader.pos;
            token += text[reader.pos];
        }
        ++reader.pos;  // the closing quote
        return true;
    }
    while (reader.pos < text.size() && !IsBlank(text[reader.pos])) token += text[reader.pos++];
    return true;
}

// A macro's body runs to the next empty line.
void SkipMacro(NetrcReader& reader) {
    std::size_t end = reader.text.find("\n\n", reader.pos);
    reader.pos = end == std::string::npos ? reader.text.size() : end + 2;
    reader.lineStart = true;
}

struct Entry {
    std::string machine, login, password;
    bool isDefault = false;
};

std::vector<Entry> ReadEntries(const std::string& text) {
    std::vector<Entry> entries;
    NetrcReader reader{text};
    std::string token, value;
    while (NextToken(reader, token)) {
        if (token == "default") {
            entries.push_back({});
            entries.back().isDefault = true;
        } else if (token == "machine") {
            NextToken(reader, value);
            entries.push_back({value, "", "", false});
        } else if (token == "macdef") {
            NextToken(reader, value);  // its name; the body follows on the next line
            SkipMacro(reader);
        } else if (token == "login" || token == "password" || token == "account") {
            NextToken(reader, value);
            if (entries.empty()) continue;
            if (token == "login") entries.back().login = value;
            if (token == "password") entries.back().password = value;
        }
    }
    return entries;
}

// The netrc text, from a file opened once: its owner and mode are those of the file read.
// 0 (with empty text when there is no file), or -1 after logging.
std::int32_t ReadNetrc(const std::string& path, std::string& text) {
    text.clear();
    UniqueFd fd(::open(ResolvePath(path).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.Valid()) return 0;
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::getuid() ||
        (info.st_mode & 077) != 0)
        return ReportFailure(path + " must be readable by its owner only!", EX_CONFIG);
    if (info.st_size > MaxNetrcSize) return ReportFailure(path + " is too large!", EX_CONFIG);
    text.resize(static_cast<std::size_t>(info.st_size));
    std::size_t got = 0;
    while (got < text.size()) {
        ssize_t n = ::read(fd.Get(), text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    text.resize(got);
    return 0;
}

void Wipe(std::string& secret) {
    if (!secret.empty()) ::explicit_bzero(secret.data(), secret.size());
    secret.clear();
}

}  // namespace

bool FindNetrcEntry(const std::string& text, const std::string& host, std::string& user,
                    std::string& password, bool loginSuffices) {
    std::vector<Entry> entries = ReadEntries(text);
    for (bool wantDefault : {false, true})
        for (Entry& entry : entries)
            if (entry.isDefault == wantDefault &&
                (!entry.password.empty() || (loginSuffices && !entry.login.empty())) &&
                (wantDefault || EqualsNoCase(entry.machine, host))) {
                user = entry.login;
                password = entry.password;
                for (Entry& other : entries) Wipe(other.password);
                return true;
            }
    for (Entry& entry : entries) Wipe(entry.password);
    return false;
}

std::int32_t ReadCredentials(const std::string& host, const std::string& login, const std::string& command,
                             bool underAccount) {
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);  // before any secret is in memory
    if (!login.empty() && !command.empty()) {
        ForgetSecret();
        RelayUser = login;
        return RunSecretCommand(command, host, RelayUser, RelayPassword) == 0 ? 0 : -1;
    }
    std::string path = NetrcPath();
    std::string text;
    if (ReadNetrc(path, text) != 0) return -1;
    ForgetSecret();
    bool found = FindNetrcEntry(text, host, RelayUser, RelayPassword, !command.empty());
    Wipe(text);
    if (found && !login.empty()) RelayUser = login;
    if (!command.empty()) {
        if (!found || RelayUser.empty()) return ReportFailure("No login for " + host + " in " + path + "!", EX_CONFIG);
        Wipe(RelayPassword);
        return RunSecretCommand(command, host, RelayUser, RelayPassword) == 0 ? 0 : -1;
    }
    if (found && !RelayPassword.empty()) return 0;
    // Most users who meet this meant their password command to give the secret.
    return ReportFailure("No password for " + host + " in " + path +
                             (underAccount ? " (or set password_command)!" : " (or set SENDAL_PASSWORD_COMMAND)!"),
                         EX_CONFIG);
}

void ForgetSecret() {
    Wipe(RelayPassword);
}

}  // namespace sendal
