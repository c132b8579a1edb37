// Case-insensitive path resolution.
#include "base/path.h"

#include <unistd.h>

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>

#include "base/text.h"

namespace sendal {
namespace {

bool Exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

// The entry of `dir` equal to `name` ignoring case that sorts first, or `name` itself.
std::string MatchComponent(const std::string& dir, std::string_view name) {
    std::unique_ptr<DIR, int (*)(DIR*)> listing(::opendir(dir.empty() ? "." : dir.c_str()),
                                                ::closedir);
    std::string best;
    if (listing) {
        while (dirent* entry = ::readdir(listing.get())) {
            std::string_view candidate = entry->d_name;
            if (EqualsNoCase(candidate, name) && (best.empty() || LessNoCase(candidate, best)))
                best = candidate;
        }
    }
    return best.empty() ? std::string(name) : best;
}

}  // namespace

std::string JoinPath(const std::string& dir, std::string_view name) {
    if (dir.empty()) return std::string(name);
    if (dir.back() == '/') return dir + std::string(name);
    return dir + "/" + std::string(name);
}

bool IsPathSeparator(char c) {
    return c == '/' || c == '\\';
}

std::size_t DirectoryPartLength(std::string_view path) {
    std::size_t pos = path.find_last_of("\\/:");
    return pos == std::string_view::npos ? 0 : pos + 1;
}

std::string PlainPath(std::string_view path) {
    std::string plain(path);
    for (char& c : plain)
        if (c == '\\') c = '/';
    return plain;
}

std::string ResolvePath(std::string_view path) {
    // Most paths name an existing entry exactly as written: one look settles them.
    std::string plain = PlainPath(path);
    if (!plain.empty() && Exists(plain)) return plain;

    std::string result;
    if (!path.empty() && IsPathSeparator(path.front())) result = "/";
    std::size_t pos = 0;
    while (pos < path.size()) {
        std::size_t end = pos;
        while (end < path.size() && !IsPathSeparator(path[end])) ++end;
        std::string_view component = path.substr(pos, end - pos);
        pos = end + 1;
        if (component.empty()) continue;
        std::string exact = JoinPath(result, component);
        if (component == "." || component == ".." || Exists(exact))
            result = exact;
        else
            result = JoinPath(result, MatchComponent(result, component));
    }
    if (!path.empty() && IsPathSeparator(path.back()) && !result.empty() && result.back() != '/')
        result += '/';
    return result;
}

int MakeParentFolders(const std::string& path) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1))
        if (::mkdir(path.substr(0, slash).c_str(), 0700) != 0 && errno != EEXIST) return -1;
    return 0;
}

}  // namespace sendal

namespace sendal {

std::string AbsolutePath(const std::string& path) {
    if (!path.empty() && path[0] == '/') return path;
    char here[4096];
    if (::getcwd(here, sizeof here) == nullptr) return path;
    return JoinPath(here, path.rfind("./", 0) == 0 ? path.substr(2) : path);
}

}  // namespace sendal
