// The relay login and its secret: the login from a netrc file, the secret from it or from the
// password command; never from the command line, where every user of the machine could read it.
#pragma once

#include <cstdint>
#include <string>

namespace sendal {

// The login and password (or OAuth2 access token) for the relay, read before connecting.
inline std::string RelayUser;
inline std::string RelayPassword;

// Makes the process undumpable (no core file holds the secret), then reads `SENDAL_NETRC`,
// else `$HOME/.netrc`: the "machine" entry for `host` (compared ignoring case), else the
// "default" one. The file is opened once and must be a regular file of at most 1 MiB owned by
// the user with no group or other permission bits. With a password `command` the secret is
// the first line that command prints, and the entry may give the login alone. 0, or -1 after
// logging why.
// A `login` given (an account's) stands for the entry's; with it and the password command no
// netrc file is needed.
// `underAccount`: the hints name the configuration's keys.
std::int32_t ReadCredentials(const std::string& host, const std::string& login = {},
                             const std::string& command = {}, bool underAccount = false);

// Overwrites the secret once the login is done.
void ForgetSecret();

// The login and password of the entry for `host` in a netrc text, read as other tools read it:
// tokens between blanks, tabs and line ends, a double-quoted token with backslash escapes, a
// line starting with "#" a comment, a macdef body skipped to the next empty line. An entry
// counts when it gives a password, or with `loginSuffices` a login. False when none does.
bool FindNetrcEntry(const std::string& text, const std::string& host, std::string& user,
                    std::string& password, bool loginSuffices = false);

}  // namespace sendal
