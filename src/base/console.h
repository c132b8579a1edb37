// The two console channels. Standard output follows any redirection and gets CR LF line ends.
// The console window is the controlling terminal (/dev/tty), opened once; without one, its
// output is dropped, a typed line reads as empty and a key wait returns at once.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace sendal {

// Points the console window at `fd` (a pipe or pseudo-terminal in tests); -1 for none.
void SetConsoleFd(int fd);

// Standard output: `text` followed by CR LF. On a terminal, control bytes are shown as "?".
void WriteStdoutLine(std::string_view text);
// Standard output: a bare line end.
void WriteStdoutLineEnd();

// The lines of --send and --queue end in LF alone when standard output is no terminal (grep
// and awk read them); the host form's dialogue keeps CR LF, as its mail packages expect.
void EndStdoutLinesForPrograms();

// Console window: the program's own text, as it stands.
void ConsoleWrite(std::string_view text);
// Console window: text that came from outside (relay replies, file names); on a terminal its
// control bytes (0-31 but TAB, and 127) are shown as "?" so it cannot drive the terminal.
void ConsoleWriteOutside(std::string_view text);
void ConsoleLineEnd();
// Moves the cursor to column 1 of its current row.
void ConsoleColumnOne();

// Waits for one key press without echo; the key's first byte, or -1 without a console.
int ConsoleReadKey();

// The controlling terminal (the console window), or -1 when the run has none.
int ConsoleTerminalFd();
// Reads a line typed at the console with echo, Backspace and Enter; at most `maxLength`
// characters are taken. Empty text without a console.
std::string ConsoleReadLine(std::size_t maxLength);


}  // namespace sendal
