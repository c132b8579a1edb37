// The directory search. The listing is taken once at the first call, so files deleted while
// the transfer walks the spool do not disturb it.
#include "base/dirsearch.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <vector>

#include "base/path.h"
#include "base/text.h"

namespace sendal {
namespace {

std::vector<std::string> SearchMatches;
std::size_t SearchNext = 0;
int SearchDenied = 0;

bool Selected(const std::string& dir, const std::string& name, unsigned char type,
              SearchSelection selection) {
    // The listing already tells plain files and folders; links and the rest need a look.
    if (type == DT_REG) return true;
    if (type == DT_DIR) return selection == SearchFilesAndDirectories;
    if (type != DT_LNK && type != DT_UNKNOWN) return false;
    struct stat info {};
    if (::stat(JoinPath(dir, name).c_str(), &info) != 0) return false;  // symbolic links are followed
    if (S_ISREG(info.st_mode)) return true;
    return S_ISDIR(info.st_mode) && selection == SearchFilesAndDirectories;
}

}  // namespace

bool MatchWildcard(std::string_view pattern, std::string_view name) {
    if (pattern == "*.*") return true;
    // Greedy match that backtracks only to the last "*": linear for ordinary masks.
    std::size_t p = 0, n = 0, starP = std::string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (p < pattern.size() &&
                   (pattern[p] == '?' || ToLowerAscii(pattern[p]) == ToLowerAscii(name[n]))) {
            ++p;
            ++n;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

namespace {

// Every entry that `mask` selects, in case-insensitive name order (ties byte by byte); with
// `firstOnly` the first one found, unsorted.
std::vector<std::string> ListMatches(const std::string& mask, SearchSelection selection, bool firstOnly = false) {
    std::vector<std::string> matches;
    std::size_t dirLength = DirectoryPartLength(mask);
    std::string pattern = mask.substr(dirLength);
    if (pattern.empty()) pattern.assign(1, '*');
    std::string dir = dirLength ? ResolvePath(mask.substr(0, dirLength)) : std::string();
    if (dir.empty()) dir.assign(1, '.');

    std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(dir.c_str()), ::closedir);
    SearchDenied = listing || errno == ENOENT || errno == ENOTDIR ? 0 : errno;
    if (!listing) return matches;
    while (dirent* entry = ::readdir(listing.get())) {
        std::string name = entry->d_name;
        if (name.empty() || name[0] == '.') continue;  // ".", ".." and hidden entries
        if (MatchWildcard(pattern, name) && Selected(dir, name, entry->d_type, selection))
            matches.push_back(std::move(name));
        if (firstOnly && !matches.empty()) return matches;
    }
    // Sorted by their names in small letters, made once: a spool of thousands of files is
    // otherwise folded again in every comparison.
    std::vector<std::pair<std::string, std::string>> keyed;
    keyed.reserve(matches.size());
    for (std::string& name : matches) keyed.emplace_back(ToLowerAscii(name), std::move(name));
    std::sort(keyed.begin(), keyed.end());
    for (std::size_t i = 0; i < keyed.size(); ++i) matches[i] = std::move(keyed[i].second);
    return matches;
}

}  // namespace

std::string FindFirstEntry(const std::string& mask, SearchSelection selection) {
    SearchMatches = ListMatches(mask, selection);
    SearchNext = 0;
    return FindNextEntry();
}

bool EntryExists(const std::string& mask, SearchSelection selection) {
    return !ListMatches(mask, selection, true).empty();
}

int LastSearchDenied() {
    return SearchDenied;
}

std::string FindNextEntry() {
    if (SearchNext >= SearchMatches.size()) return {};
    return SearchMatches[SearchNext++];
}

}  // namespace sendal
