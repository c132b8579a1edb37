// The command line on any tail, in a fixed working directory with a spool folder: no crash, and
// a run that goes on always has a host, a port, a HELO name and a mask.
#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "driver/cmdline.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace sendal;
    fuzzing::ScratchFolder();
    ::mkdir("spool", 0777);
    std::string tail(reinterpret_cast<const char*>(data), size);
    RunOptions options;
    if (ParseCommandTail(tail, options) != 0) return 0;
    const std::string &host = options.host, &helo = options.heloName, &mask = options.fileMask;
    std::int32_t port = options.port;
    FUZZ_CHECK(!host.empty());
    FUZZ_CHECK(host.find('?') == std::string::npos);
    FUZZ_CHECK(port != 0);
    // A host whose first dot is its last character derives an empty name, as it always has.
    FUZZ_CHECK(!helo.empty() || host.find('.') == host.size() - 1);
    FUZZ_CHECK(!mask.empty());
    FUZZ_CHECK(mask.front() != ' ' && mask.back() != ' ');
    return 0;
}
