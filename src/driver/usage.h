// The usage screen: banner and usage lines on standard output, then the help file sendal.hlp
// paged on the console window.
#pragma once

#include <string>
#include <vector>

namespace sendal {

// Writes the five banner and usage lines, then pages sendal.hlp from the working directory,
// 24 lines a page; q or Q at the prompt ends the paging. Logs nothing.
void ShowUsage();

// The lines of a help text: a line ends at CR, CR LF or LF (help files written on Linux), and
// a Ctrl-Z byte ends the text.
std::vector<std::string> SplitHelpLines(const std::string& text);

}  // namespace sendal
