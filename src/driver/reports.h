// What a run leaves for whoever watches the queue: the notice command told of files that wait
// too long (stuck), of a queue clear again (clear) and of a refused login (login); and the
// metrics file for a collector.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "base/runoptions.h"
#include "driver/queuelist.h"

namespace sendal {

struct Config;

// One account's (or the host form's) part of a run.
struct AccountReport {
    RunFigures figures;
    std::string loginRefused;  // the relay's words, when it refused the login
    bool tokenRefused = false;  // it refused an access token sendal keeps and had not just refreshed
};

// After the run: the alerts of `options` (alert_after, the notice command) and its metrics
// file, for the spool of `mask`; `config` (may be null) gives each account's own alert time.
void ReportAfterRun(const std::string& mask, const RunOptions& options, const Config* config,
                    const std::map<std::string, AccountReport>& reports);

}  // namespace sendal
