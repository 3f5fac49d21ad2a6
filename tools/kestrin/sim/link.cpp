#include "sim/link.h"

#include "base/error.h"

#include <fmt/format.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kestrin::sim {

namespace {

// Where the path points, if it is a symbolic link.
bool readLink(const std::string& path, std::string& target)
{
    char points[4096];
    const ssize_t n = readlink(path.c_str(), points, sizeof points);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof points) {
        return false;
    }
    target.assign(points, static_cast<std::size_t>(n));
    return true;
}

// A link to a pseudo-terminal's slave that no longer exists.
bool isStaleLink(const std::string& path)
{
    std::string target;
    const std::string pts = "/dev/pts/";
    if (!readLink(path, target) || target.compare(0, pts.size(), pts) != 0 || target.size() == pts.size()
        || target.find_first_not_of("0123456789", pts.size()) != std::string::npos) {
        return false;
    }
    struct stat info {};
    return stat(target.c_str(), &info) != 0 && errno == ENOENT;
}

// Whether the path is free for a link: nothing there, or a stale link,
// which is removed.
bool claim(const std::string& path)
{
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0) {
        return true;
    }
    if (!S_ISLNK(info.st_mode) || !isStaleLink(path)) {
        return false;
    }
    unlink(path.c_str());
    return true;
}

} // namespace

PortLink::PortLink(std::string path) : path_(std::move(path))
{
    if (!path_.empty() && !claim(path_)) {
        throw usageError(fmt::format("--link: {} exists (only a link to a pseudo-terminal that is gone is replaced)",
                                     path_));
    }
}

void PortLink::point(const std::string& port)
{
    if (path_.empty()) {
        return;
    }
    remove();
    if (!claim(path_)) {
        throw Error(fmt::format("cannot link {}: something else is there now", path_));
    }
    // symlink() never replaces: a path taken since the check is refused.
    if (symlink(port.c_str(), path_.c_str()) != 0) {
        throw Error(fmt::format("cannot link {}: {}", path_, std::strerror(errno)));
    }
    target_ = port;
}

void PortLink::remove() noexcept
{
    std::string points;
    if (!target_.empty() && readLink(path_, points) && points == target_) {
        unlink(path_.c_str());
    }
    target_.clear();
}

} // namespace kestrin::sim
