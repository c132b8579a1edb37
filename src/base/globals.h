// The texts and the socket that the whole run shares. The main sequence sets them first;
// every other part only reads them (the connection alone stores the socket).
#pragma once

#include <string>

namespace sendal {

inline std::string VersionText;  // "v1.33g"
inline std::string ProgramTag;   // "SENDAL ", seven characters with the trailing blank
inline std::string RelayHost;    // the relay's name or dotted address from the command line

// The one socket of the run; -1 while none exists.
inline int SocketHandle = -1;

}  // namespace sendal
