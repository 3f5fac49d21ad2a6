#include "commands.h"

#include "library.h"
#include "poll_run.h"
#include "report.h"
#include "serial_port.h"
#include "terminal.h"

#include <iostream>
#include <memory>

namespace kestrin {

namespace {

struct PollArguments {
    PollRequest request;
    std::string expect, expectHex, send, sendHex, parity = "none";
    std::string library;
    bool json = false;
};

// Bytes from whichever of the text and hex forms was given.
bool bytesFrom(const std::string& text, const std::string& hex, const char* what, Bytes& out, std::string& error)
{
    std::string why;
    if (!hex.empty()) {
        if (!parseHex(hex, out, why)) {
            error = std::string("bad hex in the ") + what + ": " + why;
            return false;
        }
    } else if (!parseEscaped(text, out, why)) {
        error = std::string("bad escape in the ") + what + ": " + why;
        return false;
    }
    return true;
}

std::string buildRequest(PollArguments& args)
{
    std::string error;
    if (args.expect.empty() && args.expectHex.empty()) {
        return "the expected reply is empty (give --expect TEXT or --expect-hex HEX)";
    }
    if (!bytesFrom(args.expect, args.expectHex, "expected reply", args.request.expect, error)
        || !bytesFrom(args.send, args.sendHex, "request", args.request.send, error)) {
        return error;
    }
    if (args.parity == "none" || args.parity == "even" || args.parity == "odd") {
        args.request.settings.parity = args.parity == "even" ? Parity::even
                                       : args.parity == "odd" ? Parity::odd : Parity::none;
    } else {
        return "parity must be none, even or odd, not '" + args.parity + "'";
    }
    return checkRequest(args.request);
}

void printJson(const nlohmann::json& j)
{
    // Port names and paths are not always UTF-8; never fail on them.
    std::cout << j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
}

int runPollCommand(PollArguments& args)
{
    PollRequest& request = args.request;
    PollOutcome outcome;
    Library library;
    outcome.error = buildRequest(args);
    if (outcome.error.empty() && loadLibrary(args.library, library, outcome.error)) {
        outcome = runPoll(library, request, stderrIsTerminal());
    }
    if (outcome.status == PollStatus::error) {
        std::cerr << errorLine(request.port, outcome.error) << std::endl;
    }
    if (args.json) {
        printJson(resultJson(request, outcome, library.path, library.module != nullptr ? library.version() : 0));
    } else if (outcome.status != PollStatus::error) {
        std::cout << resultLine(request, outcome) << std::endl;
    }
    unloadLibrary(library);
    return exitCode(outcome.status);
}

void addPoll(CLI::App& app, int& exitStatus)
{
    auto args = std::make_shared<PollArguments>();
    CLI::App* poll = app.add_subcommand("poll", "Send a request, if any, and wait for the expected reply");
    poll->add_option("port", args->request.port, "The serial port: /dev/ttyUSB0, COM3, ...")->required();
    auto* expect = poll->add_option("--expect", args->expect, "The expected reply, 1 to 20 bytes (escapes: \\r \\n \\t \\\\ \\xHH)");
    auto* expectHex = poll->add_option("--expect-hex", args->expectHex, "The expected reply as hex bytes: \"4f 4b 0d 0a\"");
    expect->excludes(expectHex);
    auto* send = poll->add_option("--send", args->send, "Bytes to send first (same escapes as --expect)");
    auto* sendHex = poll->add_option("--send-hex", args->sendHex, "Bytes to send first, as hex");
    send->excludes(sendHex);
    poll->add_option("--timeout", args->request.timeoutMs, "Time budget in ms; one attempt is always made")
        ->capture_default_str();
    poll->add_option("--baud", args->request.settings.baud, "Baud rate")->capture_default_str();
    poll->add_option("--data-bits", args->request.settings.dataBits, "Data bits, 5 to 8")->capture_default_str();
    poll->add_option("--parity", args->parity, "none, even or odd")->capture_default_str();
    poll->add_option("--stop-bits", args->request.settings.stopBits, "1 or 2")->capture_default_str();
    poll->add_option("--read-wait", args->request.settings.readWaitMs,
                     "How long one read waits for a byte, in ms (Linux rounds up to tenths of a second)")
        ->capture_default_str();
    poll->add_option("--library", args->library, "The Kestrin library to load (default: beside this program)");
    poll->add_flag("--json", args->json, "Print one JSON object instead of the result line");
    poll->footer("Exit status: 0 matched, 1 no match within the budget, 2 usage, port or library error.\n"
                 "The budget is checked between attempts, so a poll can outlast it by one attempt:\n"
                 "the expected number of bytes, or 5 s of silence.");
    poll->callback([args, &exitStatus] { exitStatus = runPollCommand(*args); });
}

int runAbout(const std::string& path)
{
    Library library;
    std::string error;
    if (!loadLibrary(path, library, error)) {
        std::cerr << "kestrin: " << error << std::endl;
        return 2;
    }
    const int version = library.version();
    std::cout << "Library:  " << library.path << "\n"
              << "Version:  " << version << " (" << dottedVersion(version) << ")\n\n"
              << library.about() << std::flush;
    unloadLibrary(library);
    return 0;
}

void addAbout(CLI::App& app, int& exitStatus)
{
    auto path = std::make_shared<std::string>();
    CLI::App* about = app.add_subcommand("about", "Show the library's version number and about text");
    about->add_option("--library", *path, "The Kestrin library to load (default: beside this program)");
    about->callback([path, &exitStatus] { exitStatus = runAbout(*path); });
}

int runPorts()
{
    const auto ports = listSerialPorts();
    if (ports.empty()) {
        std::cerr << "kestrin: no serial ports found" << std::endl;
    }
    for (const auto& port : ports) {
        std::cout << port.name;
        if (!port.detail.empty()) {
            std::cout << " -> " << port.detail;
        }
        std::cout << "\n";
    }
    std::cout << std::flush;
    return 0;
}

void addPorts(CLI::App& app, int& exitStatus)
{
    CLI::App* ports = app.add_subcommand("ports", "List the serial ports this machine has");
    ports->callback([&exitStatus] { exitStatus = runPorts(); });
}

} // namespace

void addCommonCommands(CLI::App& app, int& exitStatus)
{
    addPoll(app, exitStatus);
    addAbout(app, exitStatus);
    addPorts(app, exitStatus);
}

int printVersions(const std::string& libraryPath)
{
    std::cout << "kestrin " << KESTRIN_TOOL_VERSION << std::endl;
    Library library;
    std::string error;
    if (!loadLibrary(libraryPath, library, error)) {
        std::cerr << "kestrin: " << error << std::endl;
        return 2;
    }
    const int version = library.version();
    std::cout << "library " << dottedVersion(version) << " (" << version << ") " << library.path << std::endl;
    unloadLibrary(library);
    return 0;
}

} // namespace kestrin
