// The notice command: run once for each file that is held, or that waited too long (stuck),
// once when none waits too long any more (clear), and for a login the relay refused, so the
// user learns of it (a desktop notice, a mail into their own mailbox, a push message). It runs in a helper process
// started before the run confines itself, for a confined run can start no program.
#pragma once

#include <cstdint>
#include <string>

namespace sendal {

struct Notice {
    std::string file, reason, from, recipients, subject;
    std::string event = "held";  // held, stuck, clear or login
};

constexpr int NoticeCommandSeconds = 60;

// Starts the helper for `command` (run by /bin/sh -c). 0, or -1 (notices are then lost, and
// the log says so when one is due).
std::int32_t StartNotifier(const std::string& command);

// Hands a notice to the helper; it runs the command with SENDAL_FILE, SENDAL_REASON,
// SENDAL_FROM, SENDAL_RECIPIENTS, SENDAL_SUBJECT and SENDAL_EVENT set, at most NoticeCommandSeconds, and
// logs its failure. False when there is no helper.
bool SendNotice(const Notice& notice);

// Lets the helper finish the notices handed to it and waits for it.
void StopNotifier();

}  // namespace sendal
