// kestrin about and kestrin --version: what the library says about itself.
#include "commands/command.h"

#include "cli/report.h"
#include "host/library.h"

#include <fmt/format.h>

#include <memory>

namespace kestrin {

namespace {

int runAbout(const std::string& path)
{
    const Library library = Library::load(path);
    const int version = library.version();
    fmt::print("Library:  {}\nVersion:  {} ({})\n\n{}", library.path(), version, dottedVersion(version),
               library.about());
    return 0;
}

int runVersion(const std::string& path)
{
    fmt::print("kestrin {}\n", KESTRIN_TOOL_VERSION);
    std::fflush(stdout);
    const Library library = Library::load(path);
    const int version = library.version();
    fmt::print("library {} ({}) {}\n", dottedVersion(version), version, library.path());
    return 0;
}

} // namespace

Command makeAboutCommand(CLI::App& app)
{
    auto path = std::make_shared<std::string>();
    CLI::App* about = app.add_subcommand("about", "Show the library's version number and about text");
    about->add_option("--library", *path, "The Kestrin library to load (default: beside this program)");
    about->footer(helpFooter("", {
#ifdef _WIN32
        {"about", "KestrinVersion and KestrinAbout of the kestrin.dll beside kestrin.exe."},
        {"about --library C:\\kestrin\\bin\\kestrin.dll", "The same for another copy of the library."},
#else
        {"about", "KestrinVersion and KestrinAbout of the library beside the tool, or the installed one."},
        {"about --library /opt/kestrin/lib/libkestrin.so.1", "The same for another copy of the library."},
#endif
    }));
    return {about, [path](ErrorReport&) { return runAbout(*path); }, nullptr};
}

Command makeVersionCommand(CLI::App& app, const std::string& libraryPath)
{
    return {&app, [libraryPath](ErrorReport&) { return runVersion(libraryPath); }, nullptr};
}

} // namespace kestrin
