// File-descriptor helpers: the one place that loops on short reads and writes.
#include "base/fdio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "base/path.h"

namespace sendal {

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
}

int UniqueFd::Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void UniqueFd::Reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

int WriteAll(int fd, std::string_view text) {
    return WriteEvery(text, [fd](const char* data, std::size_t length) {
        return static_cast<long>(::write(fd, data, length));
    });
}

int ReadWholeFile(const std::string& path, std::string& text) {
    text.clear();
    // O_NONBLOCK keeps a FIFO that slipped past the directory search from blocking the open.
    constexpr int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
    UniqueFd fd(::open(PlainPath(path).c_str(), flags));
    if (!fd.Valid() && errno == ENOENT) fd.Reset(::open(ResolvePath(path).c_str(), flags));
    struct stat info {};
    if (!fd.Valid() || ::fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode)) return -1;
    text.resize(static_cast<std::size_t>(info.st_size));
    std::size_t got = 0;
    while (got < text.size()) {
        ssize_t n = ::read(fd.Get(), text.data() + got, text.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            text.clear();
            return -1;
        }
        if (n == 0) break;  // the file shrank since fstat: keep what is there
        got += static_cast<std::size_t>(n);
    }
    text.resize(got);
    return 0;
}

int ReadFdUpTo(int fd, std::string& text, std::size_t limit) {
    char block[4096];
    while (text.size() < limit) {
        ssize_t n = ::read(fd, block, sizeof block);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n == 0 ? 0 : -1;
        text.append(block, static_cast<std::size_t>(n));
    }
    return 1;
}

int ReadUntilEnd(const std::string& path, std::string& text) {
    text.clear();
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.Valid()) return -1;
    return ReadFdUpTo(fd.Get(), text, std::string::npos) == 0 ? 0 : -1;
}

int RemoveFile(const std::string& path) {
    if (::unlink(PlainPath(path).c_str()) == 0) return 0;
    if (errno != ENOENT) return -1;
    return ::unlink(ResolvePath(path).c_str()) == 0 ? 0 : -1;
}

}  // namespace sendal
