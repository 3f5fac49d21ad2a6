// A one-line status on stderr while a poll runs long: port, elapsed time and
// budget, rewritten in place and wiped when the poll returns.
#ifndef KESTRIN_TOOL_CLI_LIVE_STATUS_H
#define KESTRIN_TOOL_CLI_LIVE_STATUS_H

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

namespace kestrin {

// Whether a person is watching: the line is only for terminals.
bool stderrIsTerminal();

// The line's text after `elapsedMs` of a poll with a budget of `budgetMs`.
std::string statusText(const std::string& port, long long elapsedMs, int budgetMs);

class LiveStatus {
public:
    // Shown only when `enabled`, from about half a second on.
    LiveStatus(bool enabled, std::string port, int budgetMs);
    ~LiveStatus();
    // Wipes the line and shows no more; returns once it is wiped. Safe from
    // any thread, and more than once (Ctrl-C while the poll runs).
    void finish();
    LiveStatus(const LiveStatus&) = delete;
    LiveStatus& operator=(const LiveStatus&) = delete;

private:
    void run();

    std::string port_;
    int budgetMs_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool enabled_;
    bool done_ = false;
    bool wiped_ = false;
    std::thread thread_;
};

} // namespace kestrin

#endif
