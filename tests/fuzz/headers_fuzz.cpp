// A spool file of any bytes through the header scan and the spool reader: no empty recipient,
// no address with CR or LF, every address from outside quotes and comments, no blind-copy line
// that the transfer would send, and the lines after a rewind give back the whole text less
// only its line ends.
#include <fcntl.h>

#include <cstdint>
#include <string>

#include "base/fdio.h"
#include "fuzz_support.h"
#include "message/headers.h"
#include "message/spool.h"

namespace {

// Every recipient line's value as the scan sees it, with what stands inside double quotes and
// comments left out: a stored address (but a quoted local part) must be a run of this text.
std::string OutsideText;

void CollectOutsideText(const sendal::HeaderLine& header) {
    std::string line = header.joined;
    for (char& c : line)
        if (c == '\t') c = ' ';
    std::string lower;
    for (char c : line.substr(0, 5)) lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    if (lower.rfind("to: ", 0) != 0 && lower.rfind("cc: ", 0) != 0 && lower.rfind("bcc: ", 0) != 0)
        return;
    bool quoted = false;
    int depth = 0;
    for (std::size_t i = line.find(' ') + 1; i < line.size(); ++i) {
        char c = line[i];
        if ((quoted || depth > 0) && c == '\\') ++i;
        else if (depth > 0) depth += c == '(' ? 1 : c == ')' ? -1 : 0;
        else if (c == '"') quoted = !quoted;
        else if (!quoted && c == '(') depth = 1;
        else if (!quoted) OutsideText += c;
    }
    OutsideText += '\n';
}

bool OutsideQuotesAndComments(const std::string& address) {
    return OutsideText.find(address) != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace sendal;
    fuzzing::ScratchFolder();
    std::string content(reinterpret_cast<const char*>(data), size);
    {
        UniqueFd file(::open("m0001.out", O_WRONLY | O_CREAT | O_TRUNC, 0600));
        FUZZ_CHECK(WriteAll(file.Get(), content) == 0);
    }
    OutsideText.clear();
    if (LoadSpoolFile("m0001.out") == 0) {
        HeaderWalk walk;
        StartHeaderWalk(walk);
        HeaderLine header;
        while (NextHeaderLine(walk, header)) CollectOutsideText(header);
    }
    AddressList list;
    FUZZ_CHECK(ScanHeaders("m0001.out", list) == 0);
    for (std::size_t i = 0; i < list.size(); ++i) {
        FUZZ_CHECK(list[i].find_first_of("\r\n") == std::string::npos);
        FUZZ_CHECK(i == 0 || !list[i].empty());
        FUZZ_CHECK(i == 0 || list[i].find('"') != std::string::npos ||
                   OutsideQuotesAndComments(list[i]));
    }

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
