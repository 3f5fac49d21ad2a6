// Runs the fuzz target once on each input file (or each file in a directory)
// named on the command line: the seed corpus as a regression test, for
// compilers without libFuzzer. With --describe, also prints each scenario and
// the reference model's verdict on it.
#include "reference_model.h"
#include "scenario.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv)
{
    namespace fs = std::filesystem;
    std::vector<fs::path> inputs;
    bool describe = false;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--describe") {
            describe = true;
            continue;
        }
        const fs::path arg(argv[i]);
        if (fs::is_directory(arg)) {
            for (const auto& entry : fs::directory_iterator(arg)) {
                if (entry.is_regular_file()) {
                    inputs.push_back(entry.path());
                }
            }
        } else {
            inputs.push_back(arg);
        }
    }
    std::sort(inputs.begin(), inputs.end());
    if (inputs.empty()) {
        std::fprintf(stderr, "usage: %s INPUT_FILE_OR_DIR...\n", argv[0]);
        return 2;
    }
    for (const fs::path& p : inputs) {
        std::ifstream in(p, std::ios::binary);
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
        if (describe) {
            const Scenario s = decodeScenario(data, bytes.size());
            const ModelOutcome m = referencePoll(s, 100'000);
            std::printf("== %s\n%smodel: %s result %d, %zu reads, %zu bytes consumed, %d attempts, returns at %llu ms\n",
                        p.filename().c_str(), s.describe().c_str(), m.gaveUp ? "(gave up)" : "", m.result,
                        m.reads.size(), m.bytesConsumed, m.attempts, static_cast<unsigned long long>(m.endMs));
        }
        LLVMFuzzerTestOneInput(data, bytes.size());
    }
    std::printf("replayed %zu inputs, all agree with the reference model\n", inputs.size());
    return 0;
}
