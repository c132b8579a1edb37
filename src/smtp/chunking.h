// CHUNKING (RFC 3030): the text as counted BDAT chunks, without dot-stuffing and without
// waiting for a go-ahead, so that a whole spool streams over a few round trips.
#pragma once

#include <cstdint>
#include <string>

#include "message/headers.h"
#include "smtp/envelope.h"
#include "smtp/inflight.h"

namespace sendal {

// The relay of this run and whether it refused BDAT (in this run or an earlier one): it then
// gets DATA.
struct ChunkingMemory {
    std::string host;
    std::int32_t port = 0;
    bool refused = false;
    std::string notes;  // the folder of the relay notes, writable once the run is confined
};
inline ChunkingMemory RelayChunking;

// One transaction with BDAT. A message of one recipient streams at once, its envelope's
// replies read with its chunks'; with several recipients the chunks wait for their replies,
// so a file goes to all of them or to none. The session's first chunk proves that the relay
// understands BDAT; one that does not is noted, and the file goes with DATA over a new
// connection when the run goes on (ChunkingRefused), else stays. Replies are read as they
// arrive, and no more transactions are outstanding than the window allows. GoesOn, FileKept,
// ChunkingRefused, or RunEnds.
Fate SendChunkedTransaction(SpoolReader& reader, const AddressList& list, Envelope& envelope, SpoolFile& file,
                            bool othersFollow);

}  // namespace sendal
