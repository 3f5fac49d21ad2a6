// The JUnit XML a CI server reads: one test suite for the run, one test case
// per poll, the run's facts as the suite's properties.
#include "views/json.h"
#include "views/text.h"
#include "views/view.h"

#include "base/error.h"

#include <fmt/format.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

namespace kestrin {

namespace {

// Text as XML 1.0 takes it: its five special characters as entities, and the
// control characters it cannot hold at all escaped as the tool escapes them.
std::string xml(std::string_view text)
{
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&apos;"; break;
        case '\n':
        case '\t': out += c; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                fmt::format_to(std::back_inserter(out), "\\x{:02x}", static_cast<unsigned char>(c));
            } else {
                out += c;
            }
        }
    }
    return out;
}

std::string xmlSeconds(long long ms)
{
    return fmt::format("{:.3f}", static_cast<double>(ms) / 1000.0);
}

Error cannotWrite(const std::string& path)
{
    return Error(fmt::format("cannot write the JUnit file {}: {}", path, std::strerror(errno)));
}

class JUnitView : public View {
public:
    explicit JUnitView(std::string path)
        : path_(std::move(path)), whole_(partialBeside(path_, "--junit")), cases_(whole_ + "-cases")
    {
        // The cases go to a file of their own as they come, so that a long
        // run needs no memory for them; the suite's head, which counts them,
        // is written before them at the end.
        casesFile_.open(cases_, std::ios::binary | std::ios::trunc);
        if (!casesFile_) {
            throw cannotWrite(cases_);
        }
    }
    ~JUnitView() override
    {
        // Only a whole file ever takes the name; the parts go.
        std::remove(cases_.c_str());
        std::remove(whole_.c_str());
    }

    void opened(const Outcome&) override {}
    void monitoring(const Outcome&, std::uint32_t, bool) override {}
    void arrived(std::int64_t, const Bytes&) override {}
    void relayed(std::int64_t, const Bytes&, bool) override {}
    void deviceEvent(const Outcome&, std::int64_t, bool, const std::string&) override {}

    void pollDone(const Outcome& run, std::int64_t number, const PollResult& poll) override
    {
        addCase(run, fmt::format("{} {} of {}", caseName(run), number, run.repeat), poll);
    }

    void finished(const Outcome& outcome) override
    {
        if (!outcome.summary && outcome.poll) {
            addCase(outcome, caseName(outcome), *outcome.poll);
        } else if (outcome.status == Status::interrupted ||
                   (isFailure(outcome.status) && (!outcome.summary || outcome.summary->polls == 0))) {
            // A poll cut short, or a run that failed before its first:
            // an error of its own. A poll's own failure is its case already.
            PollResult failed;
            failed.status = outcome.status == Status::interrupted ? Status::error : outcome.status;
            failed.error = outcome.status == Status::interrupted ? "interrupted" : errorText(outcome);
            const std::int64_t number = outcome.summary ? outcome.summary->polls + 1 : 0;
            addCase(outcome, number > 0 ? fmt::format("{} {} of {}", caseName(outcome), number, outcome.repeat)
                                        : caseName(outcome),
                    failed);
        }
        casesFile_.close();
        writeWhole(outcome);
        // Here, not only when the view goes: an interrupt ends the process
        // without unwinding.
        std::remove(cases_.c_str());
        if (std::rename(whole_.c_str(), path_.c_str()) != 0) {
            throw cannotWrite(path_);
        }
    }

private:
    static std::string caseName(const Outcome& run)
    {
        return run.name.empty() ? "poll " + (run.request ? run.request->port : run.subject) : run.name;
    }

    void addCase(const Outcome& run, const std::string& name, const PollResult& poll)
    {
        ++tests_;
        totalMs_ += poll.elapsedMs;
        std::string text = fmt::format("  <testcase classname=\"kestrin.poll\" name=\"{}\" time=\"{}\">\n", xml(name),
                                       xmlSeconds(poll.elapsedMs));
        const bool strictLate = run.strict && poll.late && poll.status == Status::matched;
        if (poll.status == Status::noMatch || strictLate) {
            ++failures_;
            const PollRequest& request = *run.request;
            text += fmt::format("    <failure type=\"{}\" message=\"{}\"/>\n", strictLate ? "late" : "no_match",
                                xml(resultLine(request, poll)));
        } else if (isFailure(poll.status)) {
            ++errors_;
            text += fmt::format("    <error type=\"{}\" message=\"{}\"/>\n", statusName(poll.status), xml(poll.error));
        }
        if (poll.trace && run.request) {
            text += fmt::format("    <system-out>{}</system-out>\n", xml(traceText(run.request->port, *poll.trace)));
        }
        text += "  </testcase>\n";
        if (!casesFile_.write(text.data(), static_cast<std::streamsize>(text.size()))) {
            throw cannotWrite(cases_);
        }
    }

    void writeWhole(const Outcome& outcome)
    {
        std::ofstream whole(whole_, std::ios::binary | std::ios::trunc);
        whole << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<testsuites>\n"
              << fmt::format("<testsuite name=\"{}\" tests=\"{}\" failures=\"{}\" errors=\"{}\" skipped=\"0\" "
                             "time=\"{}\" timestamp=\"{}\" hostname=\"{}\">\n",
                             xml("kestrin " + caseName(outcome)), tests_, failures_, errors_, xmlSeconds(totalMs_),
                             xml(outcome.startedAt), xml(outcome.host))
              << "  <properties>\n";
        for (const auto& [name, value] : properties(outcome)) {
            whole << fmt::format("    <property name=\"{}\" value=\"{}\"/>\n", xml(name), xml(value));
        }
        whole << "  </properties>\n";
        std::ifstream cases(cases_, std::ios::binary);
        whole << cases.rdbuf();
        whole << "</testsuite>\n</testsuites>\n";
        whole.flush();
        if (!whole) {
            throw cannotWrite(whole_);
        }
    }

    static std::vector<std::pair<std::string, std::string>> properties(const Outcome& outcome)
    {
        std::vector<std::pair<std::string, std::string>> all = {{"kestrin.tool_version", KESTRIN_TOOL_VERSION}};
        if (outcome.library) {
            all.emplace_back("kestrin.library", outcome.library->path);
            all.emplace_back("kestrin.library_version", dottedVersion(outcome.library->version));
        }
        all.emplace_back("kestrin.port", outcome.request ? outcome.request->port : outcome.subject);
        if (!outcome.selector.empty()) {
            all.emplace_back("kestrin.selector", outcome.selector);
        }
        if (outcome.identity) {
            const nlohmann::json identity = portJson(*outcome.identity);
            for (const auto& [key, value] : identity.items()) {
                if (key != "port" && value.is_string() && !value.get<std::string>().empty()) {
                    all.emplace_back("kestrin." + key, value.get<std::string>());
                }
            }
        }
        all.emplace_back("kestrin.host", outcome.host);
        all.emplace_back("kestrin.started_at", outcome.startedAt);
        for (const auto& label : outcome.labels) {
            all.push_back(label);
        }
        return all;
    }

    std::string path_;
    std::string whole_;
    std::string cases_;
    std::ofstream casesFile_;
    std::int64_t tests_ = 0, failures_ = 0, errors_ = 0;
    long long totalMs_ = 0;
};

} // namespace

std::unique_ptr<View> makeJUnitView(const std::string& path)
{
    return std::make_unique<JUnitView>(path);
}

} // namespace kestrin
