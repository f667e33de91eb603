// Runs saved fuzz inputs through the same checks without libFuzzer, so the corpus
// guards against regressions with any compiler. Arguments: files or folders.

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "check_input.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        const fs::path arg = argv[i];
        if (fs::is_directory(arg)) {
            for (const auto& entry : fs::directory_iterator(arg))
                if (entry.is_regular_file()) inputs.push_back(entry.path());
        } else if (fs::is_regular_file(arg)) {
            inputs.push_back(arg);
        } else {
            std::fprintf(stderr, "replay: no such file or folder: %s\n", argv[i]);
            return 1;
        }
    }
    std::sort(inputs.begin(), inputs.end());
    // An empty corpus would pass without checking anything.
    if (inputs.empty()) {
        std::fprintf(stderr, "replay: no inputs given\n");
        return 1;
    }
    for (const fs::path& path : inputs) {
        std::ifstream file(path, std::ios::binary);
        const std::vector<char> bytes{std::istreambuf_iterator<char>(file), {}};
        if (!file.good() && !file.eof()) {
            std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
            return 1;
        }
        // Named first, so a trap leaves the culprit on the log.
        std::printf("replay: %s (%zu bytes): ", path.filename().c_str(), bytes.size());
        std::fflush(stdout);
        const std::string account = velmora_fuzz::CheckInput(
            reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        std::printf("%s\n", account.c_str());
    }
    std::printf("replay: %zu inputs, every check held\n", inputs.size());
    return 0;
}
