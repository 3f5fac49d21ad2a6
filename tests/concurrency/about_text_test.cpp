// KestrinAbout called from many threads at once, as the first calls the
// process makes: every caller sees the whole text at the one address, and,
// under ThreadSanitizer, no two calls race on the shared buffer.
#include "abi_facts.h"
#include "build_stamp.h"
#include "kestrin.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(AboutTextConcurrency, ManyThreadsReadTheSameTextWhileOthersAsk)
{
    const std::string expected =
        std::string(KESTRIN_ABOUT_BEFORE_DATE) + buildDate + KESTRIN_ABOUT_BETWEEN + buildTime + KESTRIN_ABOUT_AFTER_TIME;
    constexpr int threads = 8;
    constexpr int callsEach = 2000;
    std::atomic<int> ready{0};
    std::atomic<int> wrongText{0};
    std::vector<const char*> addresses(threads, nullptr);
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        pool.emplace_back([&, t] {
            // Start together, so the very first calls overlap.
            ready.fetch_add(1);
            while (ready.load() < threads) {
            }
            for (int i = 0; i < callsEach; ++i) {
                const char* text = KestrinAbout();
                if (expected != text) {
                    wrongText.fetch_add(1);
                }
                addresses[static_cast<std::size_t>(t)] = text;
            }
        });
    }
    for (std::thread& th : pool) {
        th.join();
    }
    EXPECT_EQ(wrongText.load(), 0);
    for (const char* a : addresses) {
        EXPECT_EQ(a, addresses[0]);
    }
}

} // namespace
