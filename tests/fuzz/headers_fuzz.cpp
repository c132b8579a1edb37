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

// The field name of a first header line by a rule of its own: before the colon, blanks and
// tabs at its end left out, in small letters.
std::string NameOf(const std::string& line) {
    std::size_t colon = line.find(':');
    if (colon == std::string::npos) return "";
    std::string name = line.substr(0, colon);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.pop_back();
    for (char& c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return name;
}

void CollectOutsideText(const std::string& name, const std::string& value) {
    if (name != "to" && name != "cc" && name != "bcc") return;
    bool quoted = false;
    int depth = 0;
    for (std::size_t i = 0; i < value.size(); ++i) {
        char c = value[i];
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

namespace {
sendal::SpoolReader FuzzReader;  // one file at a time, as in a run
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
    if (LoadSpoolFile(FuzzReader, "m0001.out") == SpoolLoad::Loaded) {
        HeaderWalk walk;
        StartHeaderWalk(walk, FuzzReader);
        HeaderPart part;
        std::string name, value;
        while (NextHeaderPart(walk, part)) {
            if (!walk.fieldStarts) {
                value += part.text;
                continue;
            }
            CollectOutsideText(name, value);
            name = NameOf(part.text);
            value = part.text.substr(part.text.find(':') + 1);
        }
        CollectOutsideText(name, value);
    }
    AddressList list;
    FUZZ_CHECK(ScanHeaders(FuzzReader, "m0001.out", list) == SpoolLoad::Loaded);
    for (std::size_t i = 0; i < list.size(); ++i) {
        FUZZ_CHECK(list[i].find_first_of("\r\n") == std::string::npos);
        FUZZ_CHECK(i == 0 || !list[i].empty());
        FUZZ_CHECK(i == 0 || list[i].find('"') != std::string::npos ||
                   OutsideQuotesAndComments(list[i]));
    }

    // The transfer's view: no line of a field that names Bcc is ever sent.
    RewindSpool(FuzzReader);
    HeaderWalk walk;
    StartHeaderWalk(walk, FuzzReader);
    HeaderPart part;
    bool blind = false;
    while (NextHeaderPart(walk, part)) {
        if (walk.fieldStarts) blind = NameOf(part.text) == "bcc";
        FUZZ_CHECK(!blind || IsDroppedField(walk));
    }

    RewindSpool(FuzzReader);
    std::string line;
    std::string joined;
    // The measure (one pass over the bytes) must tell the wire size the reader's lines make.
    std::uint64_t wire = 0;
    bool starts = true, eightBit = false;
    for (bool ends = true; NextSpoolPart(FuzzReader, line, ends); starts = ends) {
        FUZZ_CHECK(line.find_first_of("\r\n") == std::string::npos);
        joined += line;
        wire += line.size() + (ends ? 2 : 0) + (starts && !line.empty() && line[0] == '.' ? 1 : 0);
        for (char c : line) eightBit = eightBit || (static_cast<unsigned char>(c) & 0x80) != 0;
    }
    if (!starts) wire += 2;
    TextMeasure measure;
    FUZZ_CHECK(MeasureSpoolText(FuzzReader, measure) == 0);
    FUZZ_CHECK(measure.wireBytes == wire);
    FUZZ_CHECK(measure.eightBit == eightBit);
    std::string want;
    for (char c : content)
        if (c != '\r' && c != '\n') want += c;
    FUZZ_CHECK(joined == want);
    return 0;
}
