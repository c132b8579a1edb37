// Paths as the program's users write them: "\" and "/" both separate directories, and every
// component is found without regard to ASCII letter case (the names come in small letters from
// the command line, the files on disk may be in any case).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace sendal {

bool IsPathSeparator(char c);

// `dir` and `name` with one "/" between them; `name` alone when `dir` is empty.
std::string JoinPath(const std::string& dir, std::string_view name);

// `path` from the root, for a program that may run anywhere (the notice command).
std::string AbsolutePath(const std::string& path);

// Length of the directory part of a mask or path: up to and including its last "\", "/" or
// ":"; 0 when it has none.
std::size_t DirectoryPartLength(std::string_view path);

// The Linux path for `path`: separators become "/", and each component is the existing entry
// of that name (an exact match first, otherwise the first entry equal ignoring case, in name
// order), or the component as written when nothing matches.
std::string ResolvePath(std::string_view path);

// `path` with every "\\" turned into "/", for the common case that it exists as written.
std::string PlainPath(std::string_view path);

// Makes every missing folder above `path` (not `path` itself), each only for the user. 0, or -1.
int MakeParentFolders(const std::string& path);

}  // namespace sendal
