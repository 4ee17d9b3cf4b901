// A stand-in for libFuzzer's main, for compilers without it: each file named
// on the command line, and each file of a folder named there, goes once
// through the target. Builds every target with any compiler and replays its
// seeds or a crash found elsewhere.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

namespace fs = std::filesystem;

bool replay(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        fprintf(stderr, "replay: cannot read %s\n", path.c_str());
        return false;
    }
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    fprintf(stderr, "replay: running %s\n", path.c_str());  // names the input of a crash
    static const uint8_t none = 0;  // libFuzzer never hands out a null pointer
    LLVMFuzzerTestOneInput(bytes.empty() ? &none : bytes.data(), bytes.size());
    return true;
}

// The files named, a folder standing for its files, in name order.
std::vector<fs::path> inputs(int argc, char** argv) {
    std::vector<fs::path> paths;
    for (int i = 1; i < argc; ++i) {
        std::error_code error;
        if (!fs::is_directory(argv[i], error)) {
            paths.emplace_back(argv[i]);
            continue;
        }
        std::vector<fs::path> files;
        for (const fs::directory_entry& entry : fs::directory_iterator(argv[i], error)) {
            if (entry.is_regular_file()) files.push_back(entry.path());
        }
        std::sort(files.begin(), files.end());
        paths.insert(paths.end(), files.begin(), files.end());
    }
    return paths;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s FILE|FOLDER...\n", argv[0]);
        return 2;
    }
    const std::vector<fs::path> paths = inputs(argc, argv);
    bool read = true;
    for (const fs::path& path : paths) read &= replay(path);
    printf("replay: %zu inputs through %s\n", paths.size(), argv[0]);
    return read && !paths.empty() ? 0 : 1;
}
