// Console channels and the keyboard. The terminal mode for key and line input is switched by
// an owner object and put back on every way out, a Ctrl-C or kill included.
#include "base/console.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <iterator>

#include "base/fdio.h"
#include "base/text.h"

namespace sendal {
namespace {

constexpr char BackspaceKey = 8;
constexpr char DeleteKey = 127;
constexpr int StdoutFd = 1;

bool ConsoleOpened = false;
int ConsoleFd = -1;
bool ConsoleIsTerminal = false;

int Console() {
    if (!ConsoleOpened) {
        ConsoleOpened = true;
        ConsoleFd = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
        ConsoleIsTerminal = ConsoleFd >= 0 && ::isatty(ConsoleFd);
    }
    return ConsoleFd;
}

// Whether standard output is a terminal, asked once: it does not change during a run.
bool StdoutIsTerminal() {
    static const bool terminal = ::isatty(StdoutFd);
    return terminal;
}

// Whether standard output goes to /dev/null (timers and cron lines send it there): no one can
// read it, so the run does not spend a system call a line on it.
bool StdoutDiscarded() {
    static const bool discarded = [] {
        struct stat info {};
        constexpr unsigned NullMajor = 1, NullMinor = 3;
        return ::fstat(StdoutFd, &info) == 0 && S_ISCHR(info.st_mode) && ::major(info.st_rdev) == NullMajor &&
               ::minor(info.st_rdev) == NullMinor;
    }();
    return discarded;
}

const char* StdoutLineEnd = "\r\n";

std::string Shown(bool terminal, std::string_view text) {
    return terminal ? ReplaceTerminalControls(text, '?') : std::string(text);
}

// Saved for the signal handler, which can only restore what it finds here.
termios SavedTerminal{};
volatile std::sig_atomic_t SavedTerminalFd = -1;
constexpr int RestoreSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

extern "C" void RestoreTerminalAndDie(int signalNumber) {
    if (SavedTerminalFd >= 0) ::tcsetattr(SavedTerminalFd, TCSANOW, &SavedTerminal);
    std::signal(signalNumber, SIG_DFL);
    std::raise(signalNumber);
}

// Non-canonical, no-echo input on the console for as long as it lives.
class RawTerminal {
public:
    explicit RawTerminal(int fd) {
        termios raw{};
        if (fd < 0 || ::tcgetattr(fd, &SavedTerminal) != 0) return;
        SavedTerminalFd = fd;
        // At a prompt the user ends the program with its keys at once; afterwards the run's
        // own stop handling comes back.
        struct sigaction die {};
        die.sa_handler = RestoreTerminalAndDie;
        sigemptyset(&die.sa_mask);
        for (std::size_t i = 0; i < std::size(RestoreSignals); ++i)
            ::sigaction(RestoreSignals[i], &die, &saved_[i]);
        raw = SavedTerminal;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        ::tcsetattr(fd, TCSANOW, &raw);
    }
    ~RawTerminal() {
        if (SavedTerminalFd < 0) return;
        ::tcsetattr(SavedTerminalFd, TCSANOW, &SavedTerminal);
        SavedTerminalFd = -1;
        for (std::size_t i = 0; i < std::size(RestoreSignals); ++i)
            ::sigaction(RestoreSignals[i], &saved_[i], nullptr);
    }
    RawTerminal(const RawTerminal&) = delete;
    RawTerminal& operator=(const RawTerminal&) = delete;

private:
    struct sigaction saved_[std::size(RestoreSignals)] {};
};

int ReadByte(int fd) {
    unsigned char byte = 0;
    for (;;) {
        ssize_t n = ::read(fd, &byte, 1);
        if (n == 1) return byte;
        if (n < 0 && errno == EINTR) continue;
        return -1;
    }
}

// Drops the rest of a key that sends several bytes (arrows, function keys).
void DrainPendingInput(int fd) {
    pollfd waiting{fd, POLLIN, 0};
    char scratch[64];
    while (::poll(&waiting, 1, 0) == 1 && (waiting.revents & POLLIN))
        if (::read(fd, scratch, sizeof scratch) <= 0) break;
}

}  // namespace

void SetConsoleFd(int fd) {
    ConsoleOpened = true;
    ConsoleFd = fd;
    ConsoleIsTerminal = fd >= 0 && ::isatty(fd);
}

void WriteStdoutLine(std::string_view text) {
    if (StdoutDiscarded()) return;
    WriteAll(StdoutFd, Shown(StdoutIsTerminal(), text) + StdoutLineEnd);  // one write for the line and its end
}

void WriteStdoutLineEnd() {
    if (!StdoutDiscarded()) WriteAll(StdoutFd, StdoutLineEnd);
}

void EndStdoutLinesForPrograms() {
    if (!StdoutIsTerminal()) StdoutLineEnd = "\n";
}

void ConsoleWrite(std::string_view text) {
    if (Console() >= 0) WriteAll(Console(), text);
}

void ConsoleWriteOutside(std::string_view text) {
    if (Console() >= 0) WriteAll(Console(), Shown(ConsoleIsTerminal, text));
}

void ConsoleLineEnd() {
    ConsoleWrite("\r\n");
}

void ConsoleColumnOne() {
    ConsoleWrite("\r");
}

int ConsoleTerminalFd() {
    int fd = Console();
    return ConsoleIsTerminal ? fd : -1;
}

int ConsoleReadKey() {
    int fd = Console();
    if (fd < 0) return -1;
    RawTerminal mode(fd);
    int key = ReadByte(fd);
    DrainPendingInput(fd);
    return key;
}

std::string ConsoleReadLine(std::size_t maxLength) {
    std::string line;
    int fd = Console();
    if (fd < 0) return line;
    RawTerminal mode(fd);
    for (;;) {
        int key = ReadByte(fd);
        if (key < 0 || key == '\r' || key == '\n') break;
        if (key == BackspaceKey || key == DeleteKey) {
            if (!line.empty()) {
                line.pop_back();
                ConsoleWrite("\b \b");
            }
        } else if (key >= 32 && line.size() < maxLength) {
            line += static_cast<char>(key);
            ConsoleWrite(std::string_view(&line.back(), 1));
        }
    }
    ConsoleLineEnd();
    return line;
}

}  // namespace sendal
