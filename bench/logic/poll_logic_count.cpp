// Runs a fixed number of matched polls on the virtual clock, for instruction
// counts under callgrind (logic_cost.py):
//   poll_logic_count <length> <polls>
// Nothing here depends on time or the environment, so every run executes the
// same instructions.
#include "kestrin.h"
#include "waiting_replies.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

bool parse(const char* text, long low, long high, long& value)
{
    char* end = nullptr;
    value = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && value >= low && value <= high;
}

} // namespace

int main(int argc, char** argv)
{
    long length = 0;
    long polls = 0;
    if (argc != 3 || !parse(argv[1], 1, kestrinMaxLength, length) || !parse(argv[2], 1, 100'000'000, polls)) {
        std::fprintf(stderr, "usage: poll_logic_count <length 1..%d> <polls>\n", kestrinMaxLength);
        return 2;
    }
    std::string reply = replyOfLength(static_cast<int>(length));
    WaitingReplies replies(reply, 32);
    for (long i = 0; i < polls; ++i) {
        replies.refill();
        if (pollUart(replies.handle(), static_cast<int>(length), reinterpret_cast<unsigned char*>(reply.data()), 1000) != 1) {
            std::fprintf(stderr, "poll_logic_count: poll %ld of %ld did not match\n", i + 1, polls);
            return 1;
        }
    }
    return 0;
}
