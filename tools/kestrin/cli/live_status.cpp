#include "cli/live_status.h"

#include <fmt/format.h>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace kestrin {

namespace {

const auto firstShown = std::chrono::milliseconds(500);
const auto refresh = std::chrono::milliseconds(100);

std::string seconds(long long ms)
{
    return fmt::format("{:.1f} s", static_cast<double>(ms) / 1000.0);
}

} // namespace

bool stderrIsTerminal()
{
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(STDERR_FILENO) == 1;
#endif
}

std::string statusText(const std::string& port, long long elapsedMs, int budgetMs)
{
    std::string text = fmt::format("kestrin: polling {}: {} of {}", port, seconds(elapsedMs), seconds(budgetMs));
    if (elapsedMs >= budgetMs) {
        // The budget is only checked between attempts.
        text += ", budget spent, finishing the attempt";
    }
    return text;
}

LiveStatus::LiveStatus(bool enabled, std::string port, int budgetMs)
    : port_(std::move(port)), budgetMs_(budgetMs), enabled_(enabled)
{
    if (enabled) {
        thread_ = std::thread([this] { run(); });
    }
}

LiveStatus::~LiveStatus()
{
    finish();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void LiveStatus::finish()
{
    if (!enabled_) {
        return;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    done_ = true;
    wake_.notify_all();
    wake_.wait(lock, [this] { return wiped_; });
}

void LiveStatus::run()
{
    const auto start = std::chrono::steady_clock::now();
    std::size_t shownWidth = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    auto next = start + firstShown;
    while (!wake_.wait_until(lock, next, [this] { return done_; })) {
        const auto elapsed =
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
        std::string line = statusText(port_, elapsed, budgetMs_);
        const std::size_t width = line.size();
        // Pad over a longer previous line; no terminal escapes needed.
        if (width < shownWidth) {
            line.append(shownWidth - width, ' ');
        }
        fmt::print(stderr, "\r{}", line);
        std::fflush(stderr);
        shownWidth = std::max(shownWidth, width);
        next += refresh;
    }
    if (shownWidth > 0) {
        fmt::print(stderr, "\r{:{}}\r", "", shownWidth);
        std::fflush(stderr);
    }
    wiped_ = true;
    wake_.notify_all();
}

} // namespace kestrin
