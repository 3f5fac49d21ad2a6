// One call at a time on a thread of its own, so that the thread that asked
// for it can wait for it and for an interrupt at once: the library's poll
// cannot be cut short, but Ctrl-C must not wait for it.
#ifndef KESTRIN_TOOL_HOST_BACKGROUND_H
#define KESTRIN_TOOL_HOST_BACKGROUND_H

#include "host/interrupt.h"

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace kestrin {

class Background {
public:
    explicit Background(InterruptGuard& guard);
    // Joins the thread. After an interrupt the call may still run: the
    // caller must end the process (endProcess) rather than come here.
    ~Background();
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    // Runs `call` on the thread and waits for it, running `tick` every
    // `tickMs` meanwhile. False when an interrupt came first; the call then
    // goes on, using whatever it uses. Whatever `call` throws is thrown here.
    bool run(const std::function<void()>& call, int tickMs, const std::function<void()>& tick);

private:
    void serve();

    InterruptGuard& guard_;
    std::mutex mutex_;
    std::condition_variable work_;
    std::function<void()> call_; // kept here: after an interrupt it outlives run()
    bool pending_ = false;
    bool done_ = false;
    bool quit_ = false;
    std::exception_ptr failure_;
    std::thread thread_;
};

} // namespace kestrin

#endif
