// The directory search: a first call with a mask lists the directory once and returns the
// first match; each next call returns the following one. One search is active at a time.
//
// A mask is an optional directory part (up to its last "\", "/" or ":") and a name pattern
// with "*" (any run of characters) and "?" (exactly one); "*.*" matches every name, and a
// mask ending in a separator stands for every entry. Names are matched ignoring ASCII case and
// returned in case-insensitive name order. "." and "..", hidden entries (leading dot) and
// system entries (neither a regular file nor a directory) are never returned.
#pragma once

#include <string>
#include <string_view>

namespace sendal {

enum SearchSelection { SearchFiles = 0, SearchFilesAndDirectories = 1 };

// The bare name of the first match, or empty text when nothing matches.
std::string FindFirstEntry(const std::string& mask, SearchSelection selection);

// Whether `mask` selects anything, without disturbing the current search.
bool EntryExists(const std::string& mask, SearchSelection selection);

// The bare name of the next match of the current search, or empty text when no more.
std::string FindNextEntry();

// Why the last listing could not be made (an errno: EACCES when the folder may not be read),
// or 0 when it was made or the folder is simply not there.
int LastSearchDenied();

// True when `name` matches the wildcard `pattern` ignoring ASCII case.
bool MatchWildcard(std::string_view pattern, std::string_view name);

}  // namespace sendal
