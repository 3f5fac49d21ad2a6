// kestrin about and kestrin --version: what the library says about itself.
#include "commands/command.h"

#include "cli/report.h"
#include "host/library.h"

#include <fmt/format.h>

#include <memory>

namespace kestrin {

namespace {

struct AboutOptions {
    std::string library;
    bool json = false;
};

int runAbout(const AboutOptions& options)
{
    const Library library = Library::load(options.library);
    const int version = library.version();
    if (options.json) {
        nlohmann::json j = libraryJson(library.path(), version);
        j["version"] = version;
        j["about"] = library.about();
        j["tool_version"] = KESTRIN_TOOL_VERSION;
        j["status"] = "ok";
        j["exit_code"] = 0;
        printJson(j);
        return 0;
    }
    fmt::print("Library:  {}\nVersion:  {} ({})\n\n{}", library.path(), version, dottedVersion(version),
               library.about());
    return 0;
}

int runVersion(const std::string& path)
{
    // The tool's version stands even when the library cannot be loaded.
    fmt::print("kestrin {}", KESTRIN_TOOL_VERSION);
    std::fflush(stdout);
    Library library;
    try {
        library = Library::load(path);
    } catch (const Error&) {
        fmt::print("\n");
        throw;
    }
    const int version = library.version();
    fmt::print(", library {} ({}) {}\n", dottedVersion(version), version, library.path());
    return 0;
}

} // namespace

Command makeAboutCommand(CLI::App& app)
{
    auto options = std::make_shared<AboutOptions>();
    CLI::App* about = app.add_subcommand("about", "Show the library's version number and about text");
    about->add_option("--library", options->library, "The Kestrin library to load (default: beside this program)");
    about->add_flag("-j,--json", options->json,
                    "One JSON object: library, library_version, version, about, tool_version");
    about->footer(helpFooter("", {
#ifdef _WIN32
        {"about", "KestrinVersion and KestrinAbout of the kestrin.dll beside kestrin.exe."},
        {"about --library C:\\kestrin\\bin\\kestrin.dll --json", "The same for another copy, as JSON."},
#else
        {"about", "KestrinVersion and KestrinAbout of the library beside the tool, or the installed one."},
        {"about --library /opt/kestrin/lib/libkestrin.so.1 --json", "The same for another copy, as JSON."},
#endif
    }));
    return {about, [options](ErrorReport&) { return runAbout(*options); },
            std::shared_ptr<const bool>(options, &options->json)};
}

Command makeVersionCommand(CLI::App& app, const std::string& libraryPath)
{
    return {&app, [libraryPath](ErrorReport&) { return runVersion(libraryPath); }, nullptr};
}

} // namespace kestrin
