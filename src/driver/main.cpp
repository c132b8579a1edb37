// The program's entry: the whole run is RunMain, and its result is the exit code (0 unless
// -exitcode asks for one that says how the run went).
#include "driver/run.h"

int main() {
    return sendal::RunMain();
}
