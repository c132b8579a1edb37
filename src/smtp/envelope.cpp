// The envelope. Every command is logged before it is sent and every reply before it is judged,
// so a refusal stands in the log as the envelope's last line.
#include "smtp/envelope.h"

#include "message/headers.h"
#include "smtp/codes.h"
#include "smtp/command.h"

namespace sendal {

std::int32_t SendEnvelope(const std::string& path) {
    AddressList list(AddressListSize);
    // An unreadable file must not go out as an empty message and then be deleted.
    if (ScanHeaders(path, list) == ScanUnreadable) return EnvelopeUnreadable;
    if (Exchange("MAIL FROM:<" + list[0] + ">", OkCode, EchoLog) != 0) return -1;
    for (std::size_t entry = 1; entry < list.size() && !list[entry].empty(); ++entry)
        if (Exchange("RCPT TO:<" + list[entry] + ">", OkCode, EchoLog) != 0) return -1;
    return 0;
}

}  // namespace sendal
