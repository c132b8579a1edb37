// File descriptors: an owner that closes them, a write that takes every byte, and the whole-file
// read that the spool reader and the help pager use.
#pragma once

#include <cerrno>
#include <string>
#include <string_view>

namespace sendal {

// Owns one file descriptor and closes it once.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { Reset(); }

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    int Release();
    void Reset(int fd = -1);

private:
    int fd_ = -1;
};

// Hands `text` to `writeSome(data, length)` (a write or send returning its count, or -1 with
// errno) until every byte is taken, going on after short counts and interrupts. 0, or -1.
template <typename WriteSome>
int WriteEvery(std::string_view text, WriteSome writeSome) {
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        long n = writeSome(data, left);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        data += n;
        left -= static_cast<std::size_t>(n);
    }
    return 0;
}

// Writes every byte to `fd`. 0, or -1 on an error.
int WriteAll(int fd, std::string_view text);

// `path` may use "\\" or "/" and names in any letter case (see path.h).

// Reads a regular file whole into `text` (open, fstat, read until the length is in, close).
// A FIFO or device is refused without blocking. 0, or -1 with `text` empty.
int ReadWholeFile(const std::string& path, std::string& text);

// Appends what `fd` holds from where it stands to its end, or until `text` holds `limit` bytes
// or more: 0 at the end, 1 at the limit, -1 on an error.
int ReadFdUpTo(int fd, std::string& text, std::size_t limit);

// Reads a file of any kind until its end (for /proc files, whose size reads as 0).
int ReadUntilEnd(const std::string& path, std::string& text);

// Deletes the file at `path`. 0, or -1.
int RemoveFile(const std::string& path);

}  // namespace sendal
