// Waits between tries.
#include "queue/backoff.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>

#include "base/path.h"
#include "base/text.h"
#include "message/queuestate.h"

namespace sendal {
namespace {

// The seconds of a unit word ("s", "sec", "seconds", "min", "minutes", "h", "hours"); 0 for none.
std::int64_t UnitSeconds(const std::string& word) {
    if (word.empty()) return 0;
    if (word[0] == 's') return 1;
    if (word[0] == 'm') return 60;
    if (word[0] == 'h') return 3600;
    return 0;
}

}  // namespace

std::int64_t RetryHintSeconds(const std::string& reply) {
    constexpr std::int64_t LongestHint = 86400;
    std::string text = ToLowerAscii(reply);
    // Only words that ask to wait count: a number in any other reply is no time.
    std::size_t asks = std::min({text.find("try"), text.find("wait"), text.find("after"), text.find("later")});
    if (asks == std::string::npos) return 0;
    for (std::size_t at = asks; at < text.size(); ++at) {
        if (!std::isdigit(static_cast<unsigned char>(text[at]))) continue;
        std::size_t end = at;
        while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
        if (end - at > 6) return 0;
        std::size_t word = end;
        while (word < text.size() && text[word] == ' ') ++word;
        std::size_t wordEnd = word;
        while (wordEnd < text.size() && std::isalpha(static_cast<unsigned char>(text[wordEnd]))) ++wordEnd;
        std::int64_t unit = UnitSeconds(text.substr(word, wordEnd - word));
        if (unit > 0) return std::min<std::int64_t>(std::stoll(text.substr(at, end - at)) * unit, LongestHint);
        at = end;
    }
    return 0;
}

std::int64_t NextWait(std::int64_t lastWait, std::int64_t hint, std::int64_t first, std::int64_t longest) {
    std::int64_t wait = lastWait > 0 ? std::max(lastWait * 2, hint) : hint > 0 ? hint : first;
    return std::max<std::int64_t>(1, std::min(wait, std::max(longest, hint)));
}

std::set<std::string> FilesWaiting(const std::string& spoolFolder, const std::set<std::string>& names,
                                   std::int64_t now, std::int64_t& earliest) {
    std::set<std::string> waiting;
    earliest = 0;
    std::set<std::string> recorded = RecordNames(spoolFolder);
    if (recorded.empty()) return waiting;
    for (const std::string& name : names) {
        RecordKey key;
        QueueState state;
        if (!RecordKeyAt(JoinPath(spoolFolder, name), key) || recorded.count(RecordFileName(key)) == 0 ||
            !LoadQueueState(spoolFolder, key, state) || state.nextTry <= now)
            continue;
        waiting.insert(name);
        earliest = earliest == 0 ? state.nextTry : std::min(earliest, state.nextTry);
    }
    return waiting;
}

}  // namespace sendal
