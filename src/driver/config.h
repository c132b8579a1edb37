// The configuration file: one spool and the accounts that send from it, each chosen by the
// sender of a message. It names commands to run, so only a file of the user's own that no
// one else may write is read; anything it does not know is refused, never skipped.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/runoptions.h"

namespace sendal {

enum class Security { Plain, StartTls, Tls };

// An account: where its mail goes and how. Everything that is also an option of the command
// line lives in `options`, read by the same table (the file's top-level keys first, then the
// account's own); the rest is the account's alone.
struct Account {
    std::string name;
    std::int32_t port = 0;  // 0: the one `security` implies
    Security security = Security::StartTls;
    std::vector<std::string> from;  // addresses and "*@domain" the account sends for
    bool isDefault = false;
    std::int32_t line = 0;  // where its table starts, for messages
    RunOptions options;     // host, port, security, login, password command and CA file too
};

struct Config {
    std::string path;
    std::string spool;  // the folder, "~/" expanded
    std::string log;    // the activity log's path
    std::vector<Account> accounts;
    RunOptions options;  // the top-level keys every account starts from
};

// Where the configuration is looked for: `named` (from --config=) when given, else
// $SENDAL_CONFIG, else $XDG_CONFIG_HOME/sendal/config.toml, else ~/.config/sendal/config.toml.
std::string ConfigPath(const std::string& named = {});

// Reads and checks the file at `config.path`. 0; -1 with `error` set to the whole message
// ("<path>: <what is wrong> at line N!"); 1 when there is no file.
std::int32_t LoadConfig(Config& config, std::string& error);

// Parses `text` as if read from `config.path` (the file's own checks aside), for LoadConfig
// and the tests. 0, or -1 with `error` set.
std::int32_t ParseConfigText(const std::string& text, Config& config, std::string& error);

// The spool named by the configuration at ConfigPath(named): 0 with `spool` set, 1 when there
// is no configuration, -1 with `error` set.
std::int32_t ConfiguredSpool(const std::string& named, std::string& spool, std::string& error);

// The account that serves `sender`: the first whose `from` holds it (an exact address or its
// domain as "*@domain", both ignoring letter case), else the default; nullptr when none.
const Account* AccountFor(const Config& config, const std::string& sender);

// `~/` at the start of `path` turned into $HOME.
std::string ExpandHome(const std::string& path);

}  // namespace sendal
