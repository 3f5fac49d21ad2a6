// kestrin about and kestrin --version: what the library says about itself.
#include "commands/command.h"
#include "commands/options.h"

#include "host/library.h"
#include "views/output.h"

#include <fmt/format.h>

#include <memory>

namespace kestrin {

namespace {

struct AboutOptions {
    std::string library;
    bool json = false;
};

void runAbout(const AboutOptions& options, Run& run)
{
    const Library library = Library::load(options.library);
    run.outcome.library = LibraryInfo{library.path(), library.version()};
    run.outcome.about = library.about();
    run.outcome.status = Status::ok;
}

void runVersion(const std::string& path)
{
    // The tool's version stands even when the library cannot be loaded.
    writeOut(fmt::format("kestrin {}", KESTRIN_TOOL_VERSION));
    try {
        const Library library = Library::load(path);
        const int version = library.version();
        writeOut(fmt::format(", library {} ({}) {}\n", dottedVersion(version), version, library.path()));
    } catch (const Error&) {
        writeOut("\n");
        throw;
    }
}

} // namespace

Command makeAboutCommand(CLI::App& app)
{
    auto options = std::make_shared<AboutOptions>();
    CLI::App* about = app.add_subcommand("about", "Show the library's version number and about text");
    addLibraryOption(*about, options->library);
    addJsonOption(*about, options->json, "One JSON object: library, library_version, version, about, tool_version");
    about->footer(helpFooter("", {
#ifdef _WIN32
        {"about", "KestrinVersion and KestrinAbout of the kestrin.dll beside kestrin.exe."},
        {"about --library C:\\kestrin\\bin\\kestrin.dll --json", "The same for another copy, as JSON."},
#else
        {"about", "KestrinVersion and KestrinAbout of the library beside the tool, or the installed one."},
        {"about --library /opt/kestrin/lib/libkestrin.so.1 --json", "The same for another copy, as JSON."},
#endif
    }));
    return {about, [options](Run& run) { runAbout(*options, run); },
            std::shared_ptr<const bool>(options, &options->json), {}};
}

Command makeVersionCommand(CLI::App& app, const std::string& libraryPath)
{
    return {&app,
            [libraryPath](Run& run) {
                runVersion(libraryPath);
                run.outcome.status = Status::ok;
            },
            nullptr, {}};
}

} // namespace kestrin
