// sendal-enqueue's entry: the arguments after the program's name go to RunEnqueue.
#include <string>
#include <vector>

#include "driver/enqueue.h"

int main(int argc, char** argv) {
    return sendal::RunEnqueue(std::vector<std::string>(argv + 1, argv + argc));
}
