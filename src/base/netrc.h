// The relay password, from a netrc file: never from the command line, where every user of the
// machine could read it.
#pragma once

#include <cstdint>
#include <string>

namespace sendal {

// The login and password for the relay, read before connecting.
inline std::string RelayUser;
inline std::string RelayPassword;

// Reads `SENDAL_NETRC`, else `$HOME/.netrc`: the entry "machine <host> login <user> password
// <secret>" (host compared ignoring case), else a "default" entry. The file must be a regular
// file owned by the user with no group or other permission bits. 0, or -1 after logging
// "<path> must be readable by its owner only!" or "No password for <host> in <path>!".
std::int32_t ReadCredentials(const std::string& host);

// The tokens of a netrc text and the login and password of the entry for `host`; false when
// no entry (and no default) gives a password.
bool FindNetrcEntry(const std::string& text, const std::string& host, std::string& user,
                    std::string& password);

}  // namespace sendal
