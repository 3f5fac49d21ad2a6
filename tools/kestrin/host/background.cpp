#include "host/background.h"

#include <utility>

namespace kestrin {

Background::Background(InterruptGuard& guard) : guard_(guard), thread_([this] { serve(); }) {}

Background::~Background()
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
    }
    work_.notify_all();
    thread_.join();
}

bool Background::run(const std::function<void()>& call, int tickMs, const std::function<void()>& tick)
{
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        call_ = call;
        pending_ = true;
        done_ = false;
        failure_ = nullptr;
    }
    work_.notify_all();
    const bool finished = guard_.waitFor(
        [this] {
            const std::lock_guard<std::mutex> lock(mutex_);
            return done_;
        },
        tickMs, tick);
    if (!finished) {
        return false;
    }
    if (failure_) {
        std::rethrow_exception(failure_);
    }
    return true;
}

void Background::serve()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        work_.wait(lock, [this] { return quit_ || pending_; });
        if (!pending_) {
            return;
        }
        pending_ = false;
        lock.unlock();
        std::exception_ptr failure;
        try {
            call_();
        } catch (...) {
            failure = std::current_exception();
        }
        lock.lock();
        failure_ = failure;
        done_ = true;
        lock.unlock();
        guard_.notify();
        lock.lock();
    }
}

} // namespace kestrin
