// Reading the configuration file with toml++. Every key is checked for its type and value
// where it stands, so the message can point at its line.
#include "driver/config.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <toml++/toml.h>

#include "base/environment.h"
#include "base/fdio.h"
#include "base/text.h"
#include "driver/optiontable.h"

namespace sendal {
namespace {

constexpr std::size_t MaxConfigBytes = 1 << 20;
constexpr std::size_t MaxNesting = 32;  // tables in tables, dotted keys, arrays in arrays
constexpr std::int32_t PlainPort = 25;
constexpr std::int32_t StartTlsPort = 587;
constexpr std::int32_t TlsPort = 465;

// The first problem found, with its line; later ones are not looked for.
struct Problems {
    std::string what;
    std::int32_t line = 0;
    bool Set(const std::string& text, const toml::source_region& where) {
        if (what.empty()) {
            what = text;
            line = static_cast<std::int32_t>(where.begin.line);
        }
        return false;
    }
};

bool TakeText(const toml::node& node, const std::string& key, std::string& into, Problems& problems) {
    if (!node.is_string()) return problems.Set(key + " must be a string", node.source());
    into = *node.value<std::string>();
    return true;
}

bool TakeFlag(const toml::node& node, const std::string& key, bool& into, Problems& problems) {
    if (!node.is_boolean()) return problems.Set(key + " must be true or false", node.source());
    into = *node.value<bool>();
    return true;
}

bool TakePort(const toml::node& node, std::int32_t& into, Problems& problems) {
    if (!node.is_integer()) return problems.Set("port must be a number", node.source());
    std::int64_t port = *node.value<std::int64_t>();
    if (port < 1 || port > 65535) return problems.Set("port must be 1 to 65535", node.source());
    into = static_cast<std::int32_t>(port);
    return true;
}

bool TakeSecurity(const toml::node& node, Security& into, Problems& problems) {
    std::string word;
    if (!TakeText(node, "security", word, problems)) return false;
    if (word == "starttls") into = Security::StartTls;
    else if (word == "tls") into = Security::Tls;
    else if (word == "plain") into = Security::Plain;
    else return problems.Set("security must be starttls, tls or plain", node.source());
    return true;
}

// An address of `from`: "user@domain" or "*@domain".
bool TakeFromList(const toml::node& node, std::vector<std::string>& into, Problems& problems) {
    const toml::array* list = node.as_array();
    if (list == nullptr) return problems.Set("from must be a list of addresses", node.source());
    for (const toml::node& entry : *list) {
        std::string address;
        if (!TakeText(entry, "from", address, problems)) return false;
        std::size_t at = address.rfind('@');
        if (at == std::string::npos || at == 0 || at + 1 == address.size())
            return problems.Set("from holds \"" + address + "\", no address", entry.source());
        into.push_back(ToLowerAscii(address));
    }
    return true;
}

// What a key of the option table must hold, as its message says when it does not.
std::string KeyMessage(const std::string& key) {
    if (key == "fingerprint") return "fingerprint must be the 64 hex digits of a SHA-256";
    if (key == "pin") return "pin must be sha256: and a SHA-256 in base64 or hex";
    if (key == "auth") return "auth must be plain, login, xoauth2, oauthbearer, external or none";
    if (AccountKeyValue(key) == KeyValue::Time) return key + " must be a time (\"90s\", \"5m\", \"4h\", \"2d\")";
    return key + " must be a string";
}

// A key the command line has as an option too, read by the option table. 1 when it is none.
int TakeOptionKey(const std::string& key, const toml::node& node, RunOptions& options, Problems& problems) {
    std::string text;
    if (node.is_boolean()) text = *node.value<bool>() ? "true" : "false";
    else if (node.is_integer()) text = std::to_string(*node.value<std::int64_t>());
    else if (node.is_string()) text = *node.value<std::string>();
    if (const toml::array* list = node.as_array(); list != nullptr && key == "pin") {  // a backup key
        for (const toml::node& entry : *list)
            if (int taken = TakeOptionKey(key, entry, options, problems); taken != 0) return taken;
        return 0;
    }
    switch (AccountKeyValue(key)) {
    case KeyValue::Unknown: return 1;
    case KeyValue::Flag:
        if (!node.is_boolean()) return problems.Set(key + " must be true or false", node.source()), -1;
        break;
    case KeyValue::Number:
        if (!node.is_integer()) return problems.Set(key + " must be a number from 1 on", node.source()), -1;
        break;
    case KeyValue::Time:
        if (!node.is_string() && !node.is_integer()) return problems.Set(KeyMessage(key), node.source()), -1;
        break;
    case KeyValue::Text:
        if (!node.is_string()) return problems.Set(KeyMessage(key), node.source()), -1;
        break;
    }
    if (TakeAccountKey(key, text, options) == 0) return 0;
    return problems.Set(AccountKeyValue(key) == KeyValue::Number ? key + " must be a number from 1 on" : KeyMessage(key),
                        node.source()), -1;
}

// `host`: one relay, or a list tried in order.
bool TakeHosts(const toml::node& node, std::vector<std::string>& into, Problems& problems) {
    into.clear();
    if (const toml::array* list = node.as_array()) {
        for (const toml::node& entry : *list) {
            std::string host;
            if (!TakeText(entry, "host", host, problems)) return false;
            if (!host.empty()) into.push_back(host);
        }
        return true;
    }
    std::string host;
    if (!TakeText(node, "host", host, problems)) return false;
    if (!host.empty()) into.push_back(host);
    return true;
}

// The account's OAuth2 client: [accounts.NAME.oauth2] with a provider or its endpoints.
bool TakeOAuth2(const toml::node& node, OAuth2Settings& into, Problems& problems) {
    const toml::table* table = node.as_table();
    if (table == nullptr) return problems.Set("oauth2 must be a table", node.source());
    for (auto&& [name, value] : *table) {
        std::string key(name.str());
        std::string* field = key == "provider"        ? &into.provider
                             : key == "client_id"     ? &into.clientId
                             : key == "client_secret" ? &into.clientSecret
                             : key == "device_url"    ? &into.deviceUrl
                             : key == "auth_url"      ? &into.authUrl
                             : key == "token_url"     ? &into.tokenUrl
                             : key == "scope"         ? &into.scope
                                                      : nullptr;
        if (field == nullptr) return problems.Set("unknown key oauth2." + key, value.source());
        if (!TakeText(value, "oauth2." + key, *field, problems)) return false;
        if (key.ends_with("_url") && field->rfind("https://", 0) != 0)
            return problems.Set("oauth2." + key + " must be an https:// address", value.source());
    }
    if (!into.provider.empty() && into.provider != "microsoft" && into.provider != "google")
        return problems.Set("oauth2.provider must be microsoft or google", node.source());
    if (into.clientId.empty()) return problems.Set("oauth2 has no client_id", node.source());
    if (into.provider.empty() && (into.tokenUrl.empty() || (into.deviceUrl.empty() && into.authUrl.empty())))
        return problems.Set("oauth2 needs a provider, or token_url and device_url or auth_url", node.source());
    return true;
}

bool TakeAccountKey(const std::string& key, const toml::node& node, Account& account,
                    Problems& problems) {
    if (int taken = TakeOptionKey(key, node, account.options, problems); taken <= 0) return taken == 0;
    if (key == "host") return TakeHosts(node, account.options.hosts, problems);
    if (key == "port") return TakePort(node, account.port, problems);
    if (key == "security") return TakeSecurity(node, account.security, problems);
    if (key == "login") return TakeText(node, key, account.options.login, problems);
    if (key == "password_command") return TakeText(node, key, account.options.passwordCommand, problems);
    if (key == "from") return TakeFromList(node, account.from, problems);
    if (key == "ca_file") return TakeText(node, key, account.options.caFile, problems);
    if (key == "default") return TakeFlag(node, key, account.isDefault, problems);
    if (key == "oauth2") return TakeOAuth2(node, account.options.oauth2, problems);
    if (key == "password")  // the one key a new user is sure to try
        return problems.Set("a password never stands here (use password_command or netrc)",
                            node.source());
    return problems.Set("unknown key " + key, node.source());
}

std::int32_t DefaultPort(Security security) {
    return security == Security::Plain ? PlainPort
           : security == Security::Tls ? TlsPort
                                       : StartTlsPort;
}

bool TakeAccount(const std::string& name, const toml::node& node, Config& config,
                 Problems& problems) {
    const toml::table* table = node.as_table();
    if (table == nullptr) return problems.Set("account " + name + " must be a table", node.source());
    Account account;
    account.name = name;
    account.options = config.options;
    account.line = static_cast<std::int32_t>(node.source().begin.line);
    for (auto&& [key, value] : *table)
        if (!TakeAccountKey(std::string(key.str()), value, account, problems)) return false;
    if (account.options.hosts.empty()) return problems.Set("account " + name + " has no host", node.source());
    if (account.port == 0) account.port = DefaultPort(account.security);
    RunOptions& options = account.options;
    if (!options.fingerprint.empty() && !options.pins.empty())
        return problems.Set("account " + name + " has a fingerprint and a pin: use one", node.source());
    if (options.auth == AuthExternal && options.certFile.empty())
        return problems.Set("account " + name + " logs in with external but has no cert", node.source());
    if (!options.oauth2.clientId.empty() && options.auth != AuthXoauth2 && options.auth != AuthOauthbearer)
        return problems.Set("account " + name + " has oauth2 but auth is not xoauth2 or oauthbearer", node.source());
    if (options.auth != AuthNone && account.security == Security::Plain)
        return problems.Set("account " + name + " logs in without TLS (security plain)",
                            node.source());
    options.ehlo = true;
    options.startTls = account.security == Security::StartTls;
    options.implicitTls = account.security == Security::Tls;
    options.host = options.hosts.front();
    options.port = account.port;
    options.account = name;
    options.underAccount = true;
    for (std::string* path : {&options.certFile, &options.keyFile, &options.caFile}) *path = ExpandHome(*path);
    if (account.isDefault)
        for (const Account& other : config.accounts)
            if (other.isDefault)
                return problems.Set("a second default account (" + other.name + " is one)",
                                    node.source());
    config.accounts.push_back(std::move(account));
    return true;
}

bool TakeTopKey(const std::string& key, const toml::node& node, Config& config, Problems& problems) {
    if (key == "spool") return TakeText(node, key, config.spool, problems);
    if (key == "log") return TakeText(node, key, config.log, problems);
    if (key == "notify_command") return TakeText(node, key, config.options.notifyCommand, problems);
    if (key == "accounts") return true;  // once every key they start from is read
    if (int taken = TakeOptionKey(key, node, config.options, problems); taken <= 0) return taken == 0;
    return problems.Set("unknown key " + key, node.source());
}

bool TakeAccounts(const toml::node& node, Config& config, Problems& problems) {
    const toml::table* accounts = node.as_table();
    if (accounts == nullptr) return problems.Set("accounts must be tables", node.source());
    for (auto&& [name, account] : *accounts)
        if (!TakeAccount(std::string(name.str()), account, config, problems)) return false;
    // The library keeps tables in name order; the file's order is the one users read.
    std::stable_sort(config.accounts.begin(), config.accounts.end(),
                     [](const Account& a, const Account& b) { return a.line < b.line; });
    return true;
}

// The folder part of a path, "." when it has none.
std::string FolderOf(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// A file that names commands we run must be the user's own and written by no one else.
std::int32_t CheckOwnership(const struct stat& info, const std::string& path, std::string& error) {
    if (!S_ISREG(info.st_mode)) error = path + ": not a regular file!";
    else if (info.st_uid != ::geteuid()) error = path + ": not your own file!";
    else if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        error = path + ": others may write it (chmod go-w " + path + ")!";
    return error.empty() ? 0 : -1;
}

}  // namespace

std::string ExpandHome(const std::string& path) {
    if (path == "~" || path.rfind("~/", 0) == 0) return GetEnvironment("HOME") + path.substr(1);
    return path;
}

std::string ConfigPath(const std::string& named) {
    if (!named.empty()) return ExpandHome(named);
    std::string path = GetEnvironment("SENDAL_CONFIG");
    if (!path.empty()) return ExpandHome(path);
    std::string base = GetEnvironment("XDG_CONFIG_HOME");
    if (base.empty()) base = GetEnvironment("HOME") + "/.config";
    return base + "/sendal/config.toml";
}

// The deepest a table, key or value nests in the file, and the line where it is deepest: the
// reader recurses as deep as the file nests, so a file must not nest without end. Strings
// are passed over; a dotted key or table name counts each part.
std::pair<std::size_t, std::int32_t> DeepestNesting(const std::string& text) {
    std::size_t deepest = 0, open = 0, dots = 0;
    std::int32_t line = 1, deepestLine = 0;
    char quote = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\n') ++line, dots = 0;
        if (quote) {
            if (c == '\\' && quote == '"') ++i;
            else if (c == quote || c == '\n') quote = 0;
            continue;
        }
        if (c == '"' || c == '\'') quote = c;
        else if (c == '#') while (i + 1 < text.size() && text[i + 1] != '\n') ++i;
        else if (c == '[' || c == '{') ++open;
        else if ((c == ']' || c == '}') && open > 0) --open;
        else if (c == '.' && !(i > 0 && std::isdigit(static_cast<unsigned char>(text[i - 1])))) ++dots;
        if (open + dots > deepest) deepest = open + dots, deepestLine = line;
    }
    return {deepest, deepestLine};
}

std::int32_t ParseConfigText(const std::string& text, Config& config, std::string& error) {
    Problems problems;
    if (auto [depth, line] = DeepestNesting(text); depth > MaxNesting) {
        error = config.path + ": nested deeper than " + std::to_string(MaxNesting) + " at line " + std::to_string(line) + "!";
        return -1;
    }
    try {
        toml::table top = toml::parse(text, config.path);
        for (auto&& [key, node] : top)
            if (!TakeTopKey(std::string(key.str()), node, config, problems)) break;
        if (const toml::node* accounts = top.get("accounts"); accounts != nullptr && problems.what.empty())
            TakeAccounts(*accounts, config, problems);
    } catch (const toml::parse_error& failure) {
        problems.Set(std::string(failure.description()), failure.source());
    } catch (const std::exception& failure) {  // memory: the file is refused, not the run
        problems.what = failure.what();
    }
    if (problems.what.empty() && config.spool.empty()) problems.what = "no spool named";
    // A relative folder would be another one for every program and folder that starts us.
    for (const auto& [key, value] : {std::pair{"spool", &config.spool}, std::pair{"log", &config.log}})
        if (problems.what.empty() && !value->empty() && (*value)[0] != '/' && value->rfind("~/", 0) != 0)
            problems.what = std::string(key) + " must be an absolute path (or begin with ~/)";
    if (problems.what.empty() && config.accounts.empty()) problems.what = "no account named";
    if (!problems.what.empty()) {
        error = config.path + ": " + problems.what +
                (problems.line > 0 ? " at line " + std::to_string(problems.line) : "") + "!";
        return -1;
    }
    config.spool = WithoutTrailingSlashes(ExpandHome(config.spool));
    config.log = config.log.empty() ? FolderOf(config.spool) + "/VORK.LOG" : ExpandHome(config.log);
    return 0;
}

std::int32_t LoadConfig(Config& config, std::string& error) {
    UniqueFd fd(::open(config.path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd.Valid()) {
        if (errno == ENOENT) return 1;
        error = config.path + ": " + std::strerror(errno) + "!";
        return -1;
    }
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0 || CheckOwnership(info, config.path, error) != 0) return -1;
    std::string text;
    if (ReadFdUpTo(fd.Get(), text, MaxConfigBytes + 1) != 0) {
        error = config.path + ": cannot be read (or larger than 1 MiB)!";
        return -1;
    }
    return ParseConfigText(text, config, error);
}

std::int32_t ConfiguredSpool(const std::string& named, std::string& spool, std::string& error) {
    Config config;
    config.path = ConfigPath(named);
    std::int32_t loaded = LoadConfig(config, error);
    if (loaded == 0) spool = config.spool;
    return loaded;
}

const Account* AccountFor(const Config& config, const std::string& sender) {
    std::string address = ToLowerAscii(sender);
    std::size_t at = address.rfind('@');
    std::string domain = at == std::string::npos ? std::string() : address.substr(at);
    for (const Account& account : config.accounts)
        for (const std::string& entry : account.from)
            if (entry == address || (!domain.empty() && entry.rfind("*@", 0) == 0 && entry.substr(1) == domain))
                return &account;
    for (const Account& account : config.accounts)
        if (account.isDefault) return &account;
    return nullptr;
}

}  // namespace sendal
