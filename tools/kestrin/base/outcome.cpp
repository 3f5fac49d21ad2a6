#include "base/outcome.h"

#include "base/error.h"

#include <fmt/format.h>

#include <algorithm>

namespace kestrin {

namespace {

// Times below exactBelowMs have a bucket each; above, each power of two is
// cut into `subBuckets` buckets, each holding the times that share their
// top bits.
const int subBucketBits = 12;
const long long subBuckets = 1LL << subBucketBits;

std::size_t bucketOf(long long ms)
{
    if (ms < MatchTimes::exactBelowMs) {
        return static_cast<std::size_t>(ms);
    }
    int octave = 0; // how far beyond exactBelowMs ms's top bit lies
    while ((ms >> octave) >= 2 * MatchTimes::exactBelowMs) {
        ++octave;
    }
    const long long top = ms >> (octave + 1); // in [subBuckets, 2 * subBuckets)
    return static_cast<std::size_t>(MatchTimes::exactBelowMs + octave * subBuckets + (top - subBuckets));
}

// The smallest time in a bucket.
long long lowestIn(std::size_t bucket)
{
    const auto b = static_cast<long long>(bucket);
    if (b < MatchTimes::exactBelowMs) {
        return b;
    }
    const long long octave = (b - MatchTimes::exactBelowMs) / subBuckets;
    const long long top = (b - MatchTimes::exactBelowMs) % subBuckets + subBuckets;
    return top << (octave + 1);
}

} // namespace

const char* replyName(ReplyKind kind)
{
    switch (kind) {
    case ReplyKind::silent: return "silent";
    case ReplyKind::tooShort: return "short";
    case ReplyKind::wrong: break;
    }
    return "wrong";
}

ReadRecord::ReadRecord(std::size_t replyLength, bool keepAll) : replyLength_(replyLength)
{
    if (keepAll) {
        all_.emplace();
    }
}

void ReadRecord::add(std::int64_t atUs, unsigned char byte)
{
    // The library ends an attempt after more than 5000 ms without a byte;
    // the next byte then starts a new one.
    const std::int64_t idleLimitUs = 5000 * 1000;
    if (inAttempt_ > 0 && atUs - lastUs_ > idleLimitUs) {
        inAttempt_ = 0;
    }
    lastUs_ = atUs;
    if (++inAttempt_ >= replyLength_) {
        attemptFilled_ = true;
        inAttempt_ = 0;
    }
    if (first_.size() < firstKept) {
        first_.push_back(byte);
    }
    ++count_;
    if (all_) {
        all_->push_back({atUs, byte});
    }
}

ReplyKind ReadRecord::kind() const
{
    return count_ == 0 ? ReplyKind::silent : attemptFilled_ ? ReplyKind::wrong : ReplyKind::tooShort;
}

void MatchTimes::add(long long ms)
{
    ms = std::max(0LL, ms);
    const std::size_t bucket = bucketOf(ms);
    if (bucket >= counts_.size()) {
        counts_.resize(bucket + 1);
    }
    ++counts_[bucket];
    min_ = total_ == 0 ? ms : std::min(min_, ms);
    max_ = total_ == 0 ? ms : std::max(max_, ms);
    ++total_;
}

std::optional<LatencySpread> MatchTimes::spread() const
{
    if (total_ == 0) {
        return std::nullopt;
    }
    const auto percentile = [this](std::uint64_t percent) {
        const std::uint64_t rank = std::max<std::uint64_t>((total_ * percent + 99) / 100, 1);
        std::uint64_t seen = 0;
        for (std::size_t bucket = 0; bucket < counts_.size(); ++bucket) {
            seen += counts_[bucket];
            if (seen >= rank) {
                // The top bucket holds the max, which is known exactly.
                return seen == total_ ? max_ : std::max(min_, lowestIn(bucket));
            }
        }
        return max_;
    };
    return LatencySpread{min_, percentile(50), percentile(90), max_};
}

void PollSummary::add(const PollResult& poll)
{
    ++polls;
    switch (poll.status) {
    case Status::matched:
        ++matched;
        late += poll.late ? 1 : 0;
        times.add(poll.elapsedMs);
        break;
    case Status::noMatch: ++noMatch; break;
    default:
        ++errors;
        lastFailure = poll.status;
        lastError = poll.error;
        break;
    }
}

Status PollSummary::status(bool strict) const
{
    // A device that went away and came back (--reconnect) is an error of
    // its poll, not of the run.
    if (errors > reconnects) {
        return lastFailure;
    }
    return noMatch > 0 || (strict && late > 0) ? Status::noMatch : Status::matched;
}

int exitCode(const Outcome& outcome)
{
    const bool strictLate = outcome.strict && outcome.poll && outcome.poll->late;
    return exitCode(outcome.status, strictLate);
}

std::string isoUtc(std::chrono::system_clock::time_point at)
{
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(at.time_since_epoch()).count();
    const long long msOfDay = ((ms % 86400000) + 86400000) % 86400000;
    // Days since 1970-01-01 to a civil date (the proleptic Gregorian
    // calendar), counted in 400-year eras from 0000-03-01.
    const long long days = (ms - msOfDay) / 86400000 + 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const long long dayOfEra = days - era * 146097;
    const long long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const long long monthFromMarch = (5 * dayOfYear + 2) / 153;
    const long long day = dayOfYear - (153 * monthFromMarch + 2) / 5 + 1;
    const long long month = monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9;
    const long long year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", year, month, day, msOfDay / 3600000,
                       msOfDay / 60000 % 60, msOfDay / 1000 % 60, msOfDay % 1000);
}

std::pair<std::string, std::string> parseLabel(std::string_view text)
{
    const auto equals = text.find('=');
    if (equals == std::string_view::npos || equals == 0) {
        throw usageError(fmt::format("--label: '{}' is not KEY=VALUE", text));
    }
    return {std::string(text.substr(0, equals)), std::string(text.substr(equals + 1))};
}

std::string dottedVersion(int version)
{
    const auto v = static_cast<unsigned>(version);
    return fmt::format("{}.{}.{}.{}", (v >> 24) & 0xffu, (v >> 16) & 0xffu, (v >> 8) & 0xffu, v & 0xffu);
}

} // namespace kestrin
