// CHUNKING (RFC 3030): the text as counted BDAT chunks, without dot-stuffing and without
// waiting for a go-ahead, so that a whole spool streams over a few round trips.
#pragma once

#include <cstdint>

#include "message/headers.h"
#include "smtp/envelope.h"
#include "smtp/inflight.h"

namespace sendal {

// One transaction with BDAT. A message of one recipient streams at once, its envelope's
// replies read with its chunks'; with several recipients the chunks wait for their replies,
// so a file goes to all of them or to none. The first BDAT message of a session waits for all
// its replies: a relay that refuses BDAT gets DATA instead (ChunkingRefused). Replies are read
// as they arrive. GoesOn, FileKept, ChunkingRefused, or RunEnds.
Fate SendChunkedTransaction(const AddressList& list, Envelope& envelope, SpoolFile& file,
                                    bool othersFollow);

// After the relay refused the first BDAT: RSET, and DATA for the rest of the session. 0, or -1.
std::int32_t FallBackToData();

}  // namespace sendal
