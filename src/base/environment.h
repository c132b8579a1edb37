// Environment look-up without regard to letter case, as the program's original platform does it.
#pragma once

#include <string>

namespace sendal {

// The value of the first environment entry whose name equals `name` ignoring ASCII case;
// empty text when there is none.
std::string GetEnvironment(const std::string& name);

// Where the user's state for sendal is kept: $XDG_STATE_HOME/sendal, else
// ~/.local/state/sendal; empty without an absolute home.
std::string StateHome();

}  // namespace sendal
