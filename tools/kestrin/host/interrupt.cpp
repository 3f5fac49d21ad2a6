#include "host/interrupt.h"

#include "base/error.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

namespace kestrin {

namespace {

struct State {
    std::mutex mutex;
    std::condition_variable changed;
    bool guarded = false;
    bool interrupted = false;
    std::vector<const std::function<void()>*> wakers;
};

// Never destroyed: a signal or a console event may come while the process
// exits.
State& state()
{
    static State* const s = new State;
    return *s;
}

} // namespace

void interrupts::noteInterrupt()
{
    State& s = state();
    {
        const std::lock_guard<std::mutex> lock(s.mutex);
        if (!s.guarded || s.interrupted) {
            return;
        }
        s.interrupted = true;
        // Under the lock, so that a waker is never called while its owner
        // takes it away.
        for (const auto* wake : s.wakers) {
            (*wake)();
        }
    }
    s.changed.notify_all();
}

InterruptGuard::InterruptGuard()
{
    State& s = state();
    {
        const std::lock_guard<std::mutex> lock(s.mutex);
        if (s.guarded) {
            throw Error("cannot watch for Ctrl-C twice at once");
        }
        s.guarded = true;
        s.interrupted = false;
        s.wakers.clear();
    }
    try {
        interrupts::install();
    } catch (...) {
        const std::lock_guard<std::mutex> lock(s.mutex);
        s.guarded = false;
        throw;
    }
}

InterruptGuard::~InterruptGuard()
{
    interrupts::remove();
    State& s = state();
    const std::lock_guard<std::mutex> lock(s.mutex);
    s.guarded = false;
    s.wakers.clear();
}

bool InterruptGuard::interrupted() const
{
    State& s = state();
    const std::lock_guard<std::mutex> lock(s.mutex);
    return s.interrupted;
}

InterruptWaker::InterruptWaker(InterruptGuard&, std::function<void()> wake) : wake_(std::move(wake))
{
    State& s = state();
    const std::lock_guard<std::mutex> lock(s.mutex);
    s.wakers.push_back(&wake_);
    if (s.interrupted) {
        wake_();
    }
}

InterruptWaker::~InterruptWaker()
{
    State& s = state();
    const std::lock_guard<std::mutex> lock(s.mutex);
    s.wakers.erase(std::remove(s.wakers.begin(), s.wakers.end(), &wake_), s.wakers.end());
}

bool InterruptGuard::waitFor(const std::function<bool()>& done, int tickMs, const std::function<void()>& tick)
{
    State& s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    auto next = std::chrono::steady_clock::now() + std::chrono::milliseconds(tickMs);
    for (;;) {
        if (s.interrupted) {
            return false;
        }
        if (done()) {
            return true;
        }
        if (s.changed.wait_until(lock, next) == std::cv_status::timeout) {
            next += std::chrono::milliseconds(tickMs);
            if (tick) {
                lock.unlock();
                tick();
                lock.lock();
            }
        }
    }
}

void InterruptGuard::notify()
{
    State& s = state();
    {
        // Under the lock, so that a waiter between its check and its wait
        // cannot miss it.
        const std::lock_guard<std::mutex> lock(s.mutex);
    }
    s.changed.notify_all();
}

} // namespace kestrin
