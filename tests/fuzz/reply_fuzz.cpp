// Relay bytes of any kind through the ring and the reply-code rule: the lines WaitReply hands
// out, each with its CR LF, are exactly the stream's bytes up to its last CR LF, in order.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "net/transport.h"
#include "smtp/command.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace sendal;
    fuzzing::ScratchFolder();
    ReplyTimeout = std::chrono::milliseconds(0);  // no waiting: a missing line end ends the wait at once
    std::string stream(reinterpret_cast<const char*>(data), size);
    if (stream.size() > ReceiveBufferSize - 1) stream.resize(ReceiveBufferSize - 1);
    // Start somewhere in the ring so that lines wrap at its end, as they do in a long run.
    std::uint32_t start = size ? (data[0] * 131u) % ReceiveBufferSize : 0;
    ResetReceiveRing(start);
    FeedReceiveRing(stream);

    std::string taken, line;
    while (WaitReply(line) == 0) {
        taken += line + "\r\n";
        ReplyLineCode(line);
        IsIntermediateReply(line);
        FUZZ_CHECK(line.find("\r\n") == std::string::npos);
    }
    std::size_t last = stream.rfind("\r\n");
    std::string want = last == std::string::npos ? "" : stream.substr(0, last + 2);
    FUZZ_CHECK(taken == want);
    FUZZ_CHECK(line == stream.substr(want.size()));
    return 0;
}
