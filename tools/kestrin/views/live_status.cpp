#include "views/live_status.h"

#include "base/bytes.h"
#include "views/output.h"

#include <fmt/format.h>

#include <algorithm>

namespace kestrin {

namespace {

const auto firstShown = std::chrono::milliseconds(500);

std::string seconds(long long ms)
{
    return fmt::format("{:.1f} s", static_cast<double>(ms) / 1000.0);
}

} // namespace

std::string statusText(const std::string& port, long long elapsedMs, int budgetMs)
{
    std::string text =
        fmt::format("kestrin: polling {}: {} of {}", printable(port), seconds(elapsedMs), seconds(budgetMs));
    if (elapsedMs >= budgetMs) {
        // The budget is only checked between attempts.
        text += ", budget spent, finishing the attempt";
    }
    return text;
}

LiveStatus::LiveStatus(bool enabled, std::string port, int budgetMs)
    : port_(std::move(port)), budgetMs_(budgetMs), enabled_(enabled), start_(std::chrono::steady_clock::now())
{
}

void LiveStatus::tick() noexcept
{
    const auto elapsed = std::chrono::steady_clock::now() - start_;
    if (!enabled_ || elapsed < firstShown) {
        return;
    }
    std::string line =
        statusText(port_, std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count(), budgetMs_);
    const std::size_t width = line.size();
    // Pad over a longer previous line; no terminal escapes needed.
    if (width < shownWidth_) {
        line.append(shownWidth_ - width, ' ');
    }
    shownWidth_ = std::max(shownWidth_, width);
    try {
        writeErr("\r" + line);
    } catch (const std::exception&) {
        // A status nobody can see is no failure of the poll.
        enabled_ = false;
    }
}

void LiveStatus::wipe() noexcept
{
    enabled_ = false;
    if (shownWidth_ == 0) {
        return;
    }
    try {
        writeErr(fmt::format("\r{:{}}\r", "", shownWidth_));
    } catch (const std::exception&) {
    }
    shownWidth_ = 0;
}

} // namespace kestrin
