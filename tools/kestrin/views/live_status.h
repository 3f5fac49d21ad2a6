// A one-line status on stderr while a poll runs long: port, elapsed time and
// budget, rewritten in place and wiped when the poll ends. Drawn by the
// command's own thread while it waits, so that one thread writes the output.
#ifndef KESTRIN_TOOL_VIEWS_LIVE_STATUS_H
#define KESTRIN_TOOL_VIEWS_LIVE_STATUS_H

#include <chrono>
#include <string>

namespace kestrin {

// The line's text after `elapsedMs` of a poll with a budget of `budgetMs`.
std::string statusText(const std::string& port, long long elapsedMs, int budgetMs);

class LiveStatus {
public:
    // Shown only when `enabled` (a person watches stderr), from about half a
    // second on.
    LiveStatus(bool enabled, std::string port, int budgetMs);
    ~LiveStatus() { wipe(); }
    LiveStatus(const LiveStatus&) = delete;
    LiveStatus& operator=(const LiveStatus&) = delete;

    // How often tick() should come.
    static const int tickMs = 100;
    // Draws the line anew, once it is due.
    void tick() noexcept;
    // Wipes the line, if shown; no more is drawn.
    void wipe() noexcept;

private:
    std::string port_;
    int budgetMs_;
    bool enabled_;
    std::chrono::steady_clock::time_point start_;
    std::size_t shownWidth_ = 0;
};

} // namespace kestrin

#endif
