// The transfer of the whole spool: for each file that matches the mask, the envelope, DATA,
// the message text, the end-of-data line, and the deletion once the relay has accepted it;
// QUIT after the last file.
#pragma once

#include <cstdint>
#include <string>

namespace sendal {

// Characters of line text gathered before a piece goes to the socket: large enough that a big
// message costs few sends, small enough that the progress figure moves.
constexpr std::int64_t FlushThreshold = 10000;

// Characters of line text sent in pieces at the threshold, across the whole run.
inline std::int64_t SentTotal = 0;

// 0 when every file was accepted and QUIT was answered; -1 at the first refusal, failed send
// or time-out, which leaves that file and all later ones in the spool.
std::int32_t TransferSpool(const std::string& fileMask);

// The directory part of a mask: up to and including its last "\", "/" or ":".
std::string SpoolDirectory(const std::string& fileMask);

}  // namespace sendal
