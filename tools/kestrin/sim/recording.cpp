#include "sim/recording.h"

#include "sim/script.h"

#include <fmt/format.h>

#include <algorithm>

namespace kestrin::sim {

namespace {

// Bytes as a script's TEXT that reads back to the same bytes: escaped as the
// tool escapes them, in double quotes, a quote escaped too, and text that
// starts like raw bytes (hex:) with its first letter escaped.
std::string text(const Bytes& bytes)
{
    std::string escaped = escapeBytes(bytes);
    if (escaped.rfind("hex:", 0) == 0) {
        escaped.replace(0, 1, "\\x68");
    }
    std::string quoted = "\"";
    for (const char c : escaped) {
        if (c == '"') {
            quoted += '\\';
        }
        quoted += c;
    }
    return quoted + "\"";
}

// The longest pause a script takes: a day.
std::uint64_t pause(std::uint64_t ms)
{
    return std::min<std::uint64_t>(ms, 86400000);
}

// Pauses this close to one another are one gap: a device that sends byte
// by byte at its own pace.
const std::uint64_t gapTolerance = 2;

// The reply's pieces as the rule's words: "TEXT after MS", then a gap when
// it came byte by byte at an even pace, else "then TEXT after MS" for each
// piece after the first.
std::string replyWords(const std::vector<std::pair<std::uint64_t, Bytes>>& pieces)
{
    const auto& [firstAfter, firstBytes] = pieces.front();
    bool even = pieces.size() > 2 && firstBytes.size() == 1;
    for (std::size_t i = 1; even && i < pieces.size(); ++i) {
        even = pieces[i].second.size() == 1 &&
               std::max(pieces[i].first, pieces[1].first) - std::min(pieces[i].first, pieces[1].first) <= gapTolerance;
    }
    if (even) {
        Bytes all;
        for (const auto& piece : pieces) {
            all.push_back(piece.second.front());
        }
        return fmt::format("{} after {} gap {}", text(all), pause(firstAfter), pause(pieces[1].first));
    }
    std::string words = fmt::format("{} after {}", text(firstBytes), pause(firstAfter));
    for (std::size_t i = 1; i < pieces.size(); ++i) {
        fmt::format_to(std::back_inserter(words), " then {} after {}", text(pieces[i].second), pause(pieces[i].first));
    }
    return words;
}

} // namespace

void Recording::hostSent(const Bytes& bytes, std::uint64_t atMs)
{
    if (replying_) {
        close();
    }
    if (open_.request.empty()) {
        open_.atMs = atMs;
    }
    open_.request.insert(open_.request.end(), bytes.begin(), bytes.end());
    lastMs_ = atMs;
}

void Recording::deviceSent(const Bytes& bytes, std::uint64_t atMs)
{
    // Unprompted speech is played from the sim's start; a reply's first
    // piece from the request, the others from the piece before.
    const bool unprompted = !replying_ && open_.request.empty();
    if (unprompted) {
        open_.atMs = atMs;
    }
    open_.reply.push_back({unprompted ? atMs : atMs - std::min(atMs, lastMs_), bytes});
    replying_ = true;
    lastMs_ = atMs;
}

void Recording::close()
{
    if (open_.reply.empty()) {
        return;
    }
    // A request answered as the one before it was adds to its count.
    const auto sameBytes = [](const Exchange& a, const Exchange& b) {
        return a.request == b.request && a.reply.size() == b.reply.size() &&
               std::equal(a.reply.begin(), a.reply.end(), b.reply.begin(),
                          [](const Piece& x, const Piece& y) { return x.bytes == y.bytes; });
    };
    if (!done_.empty() && !open_.request.empty() && sameBytes(done_.back(), open_)) {
        ++done_.back().times;
    } else {
        done_.push_back(open_);
    }
    open_ = Exchange{};
    replying_ = false;
}

std::string Recording::script() const
{
    std::vector<Exchange> all = done_;
    if (!open_.reply.empty()) {
        all.push_back(open_);
    }
    std::string script;
    for (const Exchange& exchange : all) {
        std::vector<std::pair<std::uint64_t, Bytes>> pieces;
        for (const Piece& piece : exchange.reply) {
            pieces.emplace_back(piece.afterMs, piece.bytes);
        }
        if (exchange.request.empty()) {
            fmt::format_to(std::back_inserter(script), "send {}\n", replyWords(pieces));
        } else {
            // The trigger fires at the request's last byte whatever came
            // before it, so a long request (a firmware image) is known by
            // its end.
            const std::size_t keep = std::min(exchange.request.size(), triggerLimit);
            const Bytes request(exchange.request.end() - static_cast<std::ptrdiff_t>(keep), exchange.request.end());
            // Each answered once, in order: the next time the host asks the
            // same, the next rule for it answers.
            fmt::format_to(std::back_inserter(script), "on {} reply {} times {}\n", text(request), replyWords(pieces),
                           std::min<std::uint64_t>(exchange.times, 86400000));
        }
    }
    return script;
}

} // namespace kestrin::sim
