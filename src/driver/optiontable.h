// Every option, described once: its word on the command line, the key that sets it in an
// account of the configuration file (where it has one) and its line of the usage screen. The
// host form, --send, --queue and the configuration file all read options through here, so a
// word means the same everywhere.
#pragma once

#include <string>
#include <vector>

#include "base/runoptions.h"

namespace sendal {

// Takes one option word, already in the letter case it is read in ("-rate=30", "-keepgoing"),
// into `options`, and marks it given. False for a word that is no option or a value that does
// not fit: nothing is then changed.
bool TakeOptionWord(const std::string& word, RunOptions& options);

// An option word in small letters but for values that are kept as written (an address, a pin,
// file names).
std::string OptionInSmallLetters(const std::string& word);

// What an option's account key holds in the configuration file.
enum class KeyValue { Unknown, Flag, Number, Time, Text };  // Time: "90s", "5m", "4h", "2d" or seconds
KeyValue AccountKeyValue(const std::string& key);

// Takes the value of an account key of the configuration file as its option would take it
// ("rate" and "30" as "-rate=30"). 1 when no option has that key, 0 when taken, -1 when the
// value does not fit.
int TakeAccountKey(const std::string& key, const std::string& value, RunOptions& options);

// What the command line gave, laid over an account's options: the command line wins.
void LayGivenOver(const RunOptions& given, RunOptions& account);

// The usage screen's line of each option, in the table's order.
std::vector<std::string> OptionUsageLines();

}  // namespace sendal
