// What a run learns of a relay and later runs must know: that it offers CHUNKING but does not
// understand BDAT. Kept per host and port under the user's state folder
// ($XDG_STATE_HOME/sendal/relays, else ~/.local/state/sendal/relays).
#pragma once

#include <cstdint>
#include <string>

namespace sendal {

// The folder of the notes, made when missing (before the run is confined, which must leave it
// writable). Empty when there is none to be had (no home).
std::string PrepareRelayNotes();

// Whether an earlier run found that the relay at `host` and `port` does not understand BDAT.
bool RelayRefusesChunking(const std::string& host, std::int32_t port);

// Notes that it does not: it gets DATA from now on. 0, or -1 with `why` (the next run would
// try BDAT again, so it must be said).
std::int32_t NoteRelayRefusesChunking(const std::string& host, std::int32_t port, std::string& why);

}  // namespace sendal
