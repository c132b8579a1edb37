// The envelope. Every command is logged before it is sent and every reply before it is judged,
// so a refusal stands in the log as the envelope's last line.
#include "smtp/envelope.h"

#include "log/log.h"
#include "message/headers.h"
#include "message/spool.h"
#include "net/receive.h"
#include "net/send.h"
#include "smtp/command.h"

namespace sendal {
namespace {

constexpr double OkCode = 250;

// Logs and sends one envelope command, then logs and judges its one reply line.
std::int32_t EnvelopeCommand(const std::string& command) {
    LogMessage(command, -1, LevelNormal);
    if (SendLine(command) != 0) return -1;
    std::string reply;
    if (WaitReply(reply) != 0) return -1;
    LogMessage(reply, -1, LevelNormal);
    return ReplyCode(reply) == OkCode ? 0 : -1;
}

}  // namespace

std::int32_t SendEnvelope(const std::string& path) {
    AddressList list(AddressListSize);
    if (ScanHeaders(path, list) != 0) return -1;
    // An unreadable file would otherwise go out as an empty message and then be deleted.
    if (!SpoolLoaded) return EnvelopeUnreadable;
    if (EnvelopeCommand("MAIL FROM:<" + list[0] + ">") != 0) return -1;
    for (std::size_t entry = 1; entry < list.size() && !list[entry].empty(); ++entry)
        if (EnvelopeCommand("RCPT TO:<" + list[entry] + ">") != 0) return -1;
    return 0;
}

}  // namespace sendal
