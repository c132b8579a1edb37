// The envelope. Every command is logged before it is sent and every reply before it is judged,
// so a refusal stands in the log as the envelope's last line.
#include "smtp/envelope.h"

#include "smtp/codes.h"
#include "smtp/command.h"

namespace sendal {

std::int32_t SendEnvelope(const std::vector<std::string>& list, std::size_t first,
                          std::size_t& announced) {
    announced = 0;
    if (Exchange("MAIL FROM:<" + list[0] + ">", OkCode, EchoLog) != 0) return -1;
    for (std::size_t entry = first; entry < list.size() && announced < MaxRecipients; ++entry) {
        if (Exchange("RCPT TO:<" + list[entry] + ">", OkCode, EchoLog) == 0) {
            ++announced;
            continue;
        }
        // The relay's limit of recipients per message: the rest go in the next transaction.
        bool relayLimit = ReplyCode(LastReply()) == TooManyRecipientsCode && LastReplyRefused();
        return relayLimit && announced > 0 ? 0 : -1;
    }
    return 0;
}

}  // namespace sendal
