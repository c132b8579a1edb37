// The environment: looked up without regard to letter case (users of the mail packages that
// start us set VORKLOG or vorklog alike), and handed to the commands we run with our own
// variables added, never by changing our own.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace sendal {

// The value of the first environment entry whose name equals `name` ignoring ASCII case;
// empty text when there is none.
std::string GetEnvironment(const std::string& name);

// Our environment with `added` (name, value) set, for a command's execve: the strings and
// the null-ended pointer list to them.
struct ChildEnvironment {
    std::vector<std::string> entries;
    std::vector<char*> pointers;
};
void BuildChildEnvironment(const std::vector<std::pair<std::string, std::string>>& added, ChildEnvironment& into);

// Where the user's state for sendal is kept: $XDG_STATE_HOME/sendal, else
// ~/.local/state/sendal; empty without an absolute home.
std::string StateHome();

}  // namespace sendal
