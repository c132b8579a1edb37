// The transfer of the whole spool: for each file that matches the mask, the envelope, DATA,
// the message text, the end-of-data line, and the deletion once the relay has accepted it;
// QUIT after the last file.
#pragma once

#include <cstdint>
#include <string>

#include "smtp/message_text.h"

namespace sendal {

// 0 when every file was accepted and QUIT was answered; -1 at the first refusal, failed send
// or time-out, which leaves that file and all later ones in the spool. With EHLO and a relay
// that offers PIPELINING, each envelope goes out in one write together with the end of data
// of the message before it; replies are read, logged and judged in order all the same.
std::int32_t TransferSpool(const std::string& fileMask);

// The directory part of a mask: up to and including its last "\", "/" or ":".
std::string SpoolDirectory(const std::string& fileMask);

}  // namespace sendal
