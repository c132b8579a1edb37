// sendal-enqueue's entry: the arguments after the program's name go to RunEnqueue (called as
// mailq: -bp first).
#include <string>
#include <vector>

#include "driver/enqueue.h"

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    // Called as mailq (a link to us), it lists the queue, as sendmail's mailq does.
    std::string name = argc > 0 ? argv[0] : "";
    if (name.substr(name.find_last_of('/') + 1) == "mailq") arguments.insert(arguments.begin(), "-bp");
    return sendal::RunEnqueue(arguments);
}
