// A plain, slow model of one poll, written from the polling rules alone and
// sharing no code with the module: the answer the fuzz target holds the
// module to.
#ifndef KESTRIN_TESTS_FUZZ_REFERENCE_MODEL_H
#define KESTRIN_TESTS_FUZZ_REFERENCE_MODEL_H

#include "scenario.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct ModelRead {
    std::uint64_t atMs;  // when the read started, from the poll's entry
    int offset;          // where in the receive buffer it writes
    bool delivered;
    std::uint64_t waitMs; // how long the reader lets it wait: until its idle limit
};

struct ModelOutcome {
    bool gaveUp = false;           // more reads than the cap: no verdict
    int result = 0;
    std::vector<ModelRead> reads;
    std::size_t bytesConsumed = 0;
    std::uint64_t endMs = 0;       // when the poll returns
    std::uint64_t lastAttemptStartMs = 0;
    int attempts = 0;
    std::string unread;            // scheduled bytes left in the port, in order
};

ModelOutcome referencePoll(const Scenario& s, std::size_t readCap);

#endif
