// The program's entry: the whole run is RunMain, and its result (always 0) is the exit code.
#include "driver/run.h"

int main() {
    return sendal::RunMain();
}
