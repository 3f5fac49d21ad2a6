#include "views/output.h"

#include "base/error.h"

#include <fmt/format.h>

#ifdef _WIN32
#include <io.h>
#include <process.h>
#else
#include <unistd.h>
#endif

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace kestrin {

namespace {

std::atomic<bool> stdoutFailed{false};

void write(std::FILE* stream, std::string_view text, const char* name)
{
    errno = 0;
    const bool written = std::fwrite(text.data(), 1, text.size(), stream) == text.size();
    if (written && std::fflush(stream) == 0 && !std::ferror(stream)) {
        return;
    }
    const int cause = errno;
    std::clearerr(stream);
    if (stream == stdout) {
        stdoutFailed = true;
    }
    throw Error(fmt::format("cannot write to {}: {}", name, cause != 0 ? std::strerror(cause) : "write failed"));
}

} // namespace

void writeOut(std::string_view text)
{
    write(stdout, text, "the standard output");
}

void writeErr(std::string_view text)
{
    write(stderr, text, "the standard error");
}

bool outFailed()
{
    return stdoutFailed;
}

bool stderrIsTerminal()
{
#ifdef _WIN32
    return _isatty(_fileno(stderr)) != 0;
#else
    return isatty(STDERR_FILENO) == 1;
#endif
}

std::string partialBeside(const std::string& path, const char* option)
{
    std::error_code failed;
    const auto found = std::filesystem::symlink_status(std::filesystem::u8path(path), failed);
    if (!failed && std::filesystem::exists(found) && !std::filesystem::is_regular_file(found)) {
        throw usageError(fmt::format("{}: {} exists and is not a regular file", option, path));
    }
#ifdef _WIN32
    const int process = _getpid();
#else
    const int process = static_cast<int>(getpid());
#endif
    return fmt::format("{}.{}.part", path, process);
}

} // namespace kestrin
