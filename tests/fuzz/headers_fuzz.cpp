// A spool file of any bytes through the header scan and the spool reader: at most 999
// recipients, no address with CR or LF, no blind-copy line that the transfer would send, and
// the lines after a rewind give back the whole text less only its line ends.
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

    // The transfer's view: no header line it would send is one the scan takes for blind copies.
    RewindSpool();
    HeaderWalk walk;
    StartHeaderWalk(walk);
    HeaderLine header;
    while (NextHeaderLine(walk, header)) {
        std::string spaced = header.joined;
        for (char& c : spaced)
            if (c == '\t') c = ' ';
        bool scanTakes = spaced.size() >= 5 && (spaced[0] | 32) == 'b' && (spaced[1] | 32) == 'c' &&
                         (spaced[2] | 32) == 'c' && spaced[3] == ':' && spaced[4] == ' ';
        FUZZ_CHECK(!scanTakes || IsDroppedHeader(header));
    }

    RewindSpool();
    std::string line;
    std::string joined;
    while (NextSpoolLine(line)) {
        FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos);
        joined += line;
    }
    std::string want;
    for (char c : content)
        if (c != '\r' && c != '\n') want += c;
    FUZZ_CHECK(joined == want);
    return 0;
}
