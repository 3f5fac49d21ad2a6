// kestrin sim: a simulated device that tests, the demo and engineers without
// hardware poll like a real one.
#ifndef KESTRIN_TOOL_SIMULATOR_H
#define KESTRIN_TOOL_SIMULATOR_H

#include <cstdint>
#include <string>
#include <vector>

namespace kestrin {

struct SimArguments {
    std::vector<std::string> rules;
    std::string scriptFile;
    std::string link;
    std::uint64_t rounds = 0;
    bool trace = false;
};

// Runs until a signal or the rounds are done; returns the exit status.
int runSimulator(const SimArguments& args);

} // namespace kestrin

#endif
