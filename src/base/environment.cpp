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

void BuildChildEnvironment(const std::vector<std::pair<std::string, std::string>>& added, ChildEnvironment& into) {
    into.entries.clear();
    for (char** entry = environ; entry && *entry; ++entry) {
        std::string_view text(*entry);
        bool replaced = false;
        for (const auto& [name, value] : added)
            replaced = replaced || (text.size() > name.size() && text.substr(0, name.size()) == name && text[name.size()] == '=');
        if (!replaced) into.entries.emplace_back(text);
    }
    for (const auto& [name, value] : added) into.entries.push_back(name + "=" + value);
    into.pointers.clear();
    for (std::string& entry : into.entries) into.pointers.push_back(entry.data());
    into.pointers.push_back(nullptr);
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
