// Environment look-up without regard to letter case, as the program's original platform does it.
#pragma once

#include <string>

namespace sendal {

// The value of the first environment entry whose name equals `name` ignoring ASCII case;
// empty text when there is none.
std::string GetEnvironment(const std::string& name);

}  // namespace sendal
