// A spool file of any bytes through the header scan and the spool reader: at most 999
// recipients, no address with CR or LF, and the lines after a rewind give back the whole text
// less only its line ends.
#include <fcntl.h>

#include <cstdint>
#include <string>

#include "base/fdio.h"
#include "fuzz_support.h"
#include "message/headers.h"
#include "message/spool.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace sendal;
    fuzzing::ScratchFolder();
    std::string content(reinterpret_cast<const char*>(data), size);
    {
        UniqueFd file(::open("m0001.out", O_WRONLY | O_CREAT | O_TRUNC, 0600));
        FUZZ_CHECK(WriteAll(file.Get(), content) == 0);
    }
    AddressList list(AddressListSize);
    FUZZ_CHECK(ScanHeaders("m0001.out", list) == 0);
    std::size_t recipients = 0;
    while (recipients + 1 < list.size() && !list[recipients + 1].empty()) ++recipients;
    FUZZ_CHECK(recipients <= MaxRecipients);
    FUZZ_CHECK(list[AddressListSize - 1].empty());
    for (const std::string& address : list)
        FUZZ_CHECK(address.find_first_of("\r\n") == std::string::npos);

    std::int32_t state = 1;
    std::string line;
    ReadSpoolLine(state, line);
    std::string joined;
    for (;;) {
        ReadSpoolLine(state, line);
        if (state == -1) break;
        FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos);
        joined += line;
    }
    std::string want;
    for (char c : content)
        if (c != '\r' && c != '\n') want += c;
    FUZZ_CHECK(joined == want);
    return 0;
}
