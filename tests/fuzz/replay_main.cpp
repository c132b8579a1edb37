// Replays a fuzz target's seed corpus (every file of a folder, or the files named) without
// libFuzzer, so the seeds and the crashes kept as regressions run in every test build.
#include <dirent.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

int RunFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return 0;
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        if (DIR* dir = opendir(argv[i])) {
            while (dirent* entry = readdir(dir))
                if (entry->d_name[0] != '.')
                    count += RunFile(std::string(argv[i]) + "/" + entry->d_name);
            closedir(dir);
        } else {
            count += RunFile(argv[i]);
        }
    }
    std::printf("replayed %d inputs\n", count);
    return count > 0 ? 0 : 1;
}
