// The texts and the socket that the whole run shares. The main sequence sets the texts first
// and the relay's name once it knows it (a --send session: its account's relay); the
// connection alone stores the socket, and the main sequence marks it gone after a close.
#pragma once

#include <string>

namespace sendal {

inline std::string VersionText;  // "v1.33g"
inline std::string ProgramTag;   // "SENDAL ", seven characters with the trailing blank
inline std::string RelayHost;    // the relay's name or dotted address from the command line

// The one socket of the run; -1 while none exists.
inline int SocketHandle = -1;

}  // namespace sendal
