// Shared set-up for the fuzz targets: a scratch working directory of their own, and standard
// output (where the program reports) sent to /dev/null so the fuzzer's own output stays clear.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "base/console.h"

namespace sendal::fuzzing {

inline const std::string& ScratchFolder() {
    static const std::string folder = [] {
        char pattern[] = "/tmp/sendal-fuzz-XXXXXX";
        std::string made = ::mkdtemp(pattern);
        if (made.empty() || ::chdir(made.c_str()) != 0) std::abort();
        int devNull = ::open("/dev/null", O_WRONLY);
        ::dup2(devNull, 1);
        ::close(devNull);
        SetConsoleFd(-1);
        return made;
    }();
    return folder;
}

#define FUZZ_CHECK(condition)                                           \
    do {                                                                \
        if (!(condition)) {                                             \
            std::fprintf(stderr, "invariant broken: %s\n", #condition); \
            std::abort();                                               \
        }                                                               \
    } while (0)

}  // namespace sendal::fuzzing
