// Case-insensitive environment look-up over environ.
#include "base/environment.h"

#include <cstring>

#include "base/text.h"

extern char** environ;

namespace sendal {

std::string GetEnvironment(const std::string& name) {
    for (char** entry = environ; entry && *entry; ++entry) {
        const char* equals = std::strchr(*entry, '=');
        if (!equals) continue;
        std::string_view entryName(*entry, static_cast<std::size_t>(equals - *entry));
        if (EqualsNoCase(entryName, name)) return equals + 1;
    }
    return {};
}

std::string StateHome() {
    std::string state = GetEnvironment("XDG_STATE_HOME");
    if (state.empty() || state[0] != '/') {
        std::string home = GetEnvironment("HOME");
        if (home.empty() || home[0] != '/') return {};
        state = home + "/.local/state";
    }
    return state + "/sendal";
}

}  // namespace sendal
