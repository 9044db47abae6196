// Runs a fuzz target over files and directories of inputs without libFuzzer,
// so that the normal build compiles every target and CTest keeps its seed
// corpus passing. A broken property aborts, which fails the test.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    namespace fs = std::filesystem;
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        // Absolute, because a target may change the working directory.
        fs::path p = fs::absolute(argv[i]);
        if (fs::is_directory(p)) {
            for (const auto& e : fs::directory_iterator(p))
                if (e.is_regular_file()) inputs.push_back(e.path());
        } else {
            inputs.push_back(p);
        }
    }
    std::sort(inputs.begin(), inputs.end());
    // A target may send standard output elsewhere; report on a copy of it.
    FILE* report = fdopen(dup(1), "w");
    for (const fs::path& p : inputs) {
        std::ifstream in(p, std::ios::binary);
        std::vector<uint8_t> data(std::istreambuf_iterator<char>(in), {});
        std::fprintf(report, "%s\n", p.filename().string().c_str());
        std::fflush(report);
        LLVMFuzzerTestOneInput(data.data(), data.size());
    }
    std::fprintf(report, "%zu inputs passed\n", inputs.size());
    if (inputs.empty()) return 1;  // a missing corpus must not pass silently
    return 0;
}
