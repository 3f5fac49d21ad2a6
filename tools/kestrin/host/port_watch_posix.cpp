// Linux: notices of ttys that come and go from a udev monitor, and of a
// path appearing from a watch (inotify) on the folder it is to appear in,
// for a node where no udev daemon runs and for a link such as a simulator's.
#include "host/port_watch.h"

#include "host/handles.h"

#include <libudev.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <thread>

namespace kestrin {

namespace {

bool readable(int fd)
{
    pollfd ready{fd, POLLIN, 0};
    return ::poll(&ready, 1, 0) > 0 && (ready.revents & POLLIN) != 0;
}

} // namespace

struct PortWatch::Notices {
    struct UdevContextTraits {
        static udev* none() noexcept { return nullptr; }
        static void close(udev* context) noexcept { udev_unref(context); }
    };
    struct UdevMonitorTraits {
        static udev_monitor* none() noexcept { return nullptr; }
        static void close(udev_monitor* monitor) noexcept { udev_monitor_unref(monitor); }
    };

    Owned<UdevContextTraits> context;
    Owned<UdevMonitorTraits> monitor;
    UniqueFd inotify;
    std::filesystem::path folder; // where the port is to appear
    int watch = -1;

    // The watch on the folder, or on the nearest one above it that exists
    // (/dev/serial/by-id is made with the first adapter), to be moved down
    // as the folders appear.
    void watchFolder()
    {
        std::error_code error;
        std::filesystem::path at = folder;
        while (!std::filesystem::is_directory(at, error) && at.has_relative_path()) {
            at = at.parent_path();
        }
        const int added = inotify_add_watch(inotify.get(), at.c_str(), IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_ONLYDIR);
        if (added >= 0 && watch >= 0 && added != watch) {
            inotify_rm_watch(inotify.get(), watch);
        }
        if (added >= 0) {
            watch = added;
        }
    }

    // Takes what the monitor has, which may be a message that is no device.
    void drainMonitor()
    {
        const int fd = udev_monitor_get_fd(monitor.get());
        for (int i = 0; i < 64 && readable(fd); ++i) {
            if (udev_device* device = udev_monitor_receive_device(monitor.get())) {
                udev_device_unref(device);
            }
        }
    }

    void drainWatch()
    {
        alignas(inotify_event) char events[4096];
        while (::read(inotify.get(), events, sizeof events) > 0) {
        }
        watchFolder();
    }
};

PortWatch::PortWatch(const PortSelector& selector) : notices_(std::make_unique<Notices>())
{
    Notices& n = *notices_;
    n.context.reset(udev_new());
    if (n.context) {
        // udev's daemon tells once its rules have given the node its owner
        // and mode; where none runs (a container), the kernel's own notice
        // is all there is, and an open that comes too early is retried.
        const bool daemon = access("/run/udev/control", F_OK) == 0;
        n.monitor.reset(udev_monitor_new_from_netlink(n.context.get(), daemon ? "udev" : "kernel"));
        if (n.monitor && (udev_monitor_filter_add_match_subsystem_devtype(n.monitor.get(), "tty", nullptr) < 0
                          || udev_monitor_enable_receiving(n.monitor.get()) < 0)) {
            n.monitor.reset();
        }
    }
    n.inotify.reset(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (n.inotify) {
        std::error_code error;
        n.folder = selector.kind == PortSelector::Kind::name
                       ? std::filesystem::absolute(selector.text, error).parent_path()
                       : std::filesystem::path("/dev");
        n.watchFolder();
    }
}

PortWatch::~PortWatch() = default;

bool PortWatch::wait(int ms)
{
    Notices& n = *notices_;
    pollfd sources[2]{};
    nfds_t count = 0;
    if (n.monitor) {
        sources[count++] = {udev_monitor_get_fd(n.monitor.get()), POLLIN, 0};
    }
    if (n.watch >= 0) {
        sources[count++] = {n.inotify.get(), POLLIN, 0};
    }
    if (count == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        return false;
    }
    if (::poll(sources, count, ms) <= 0) {
        return false;
    }
    if (n.monitor) {
        n.drainMonitor();
    }
    if (n.watch >= 0 && readable(n.inotify.get())) {
        n.drainWatch();
    }
    return true;
}

int PortWatch::unaskedLookMs() const
{
    // Without a monitor, a port by its USB identity could come unseen.
    return notices_->monitor ? 0 : 500;
}

bool portPresent(const std::string& name)
{
    struct stat info {};
    return stat(name.c_str(), &info) == 0;
}

std::string listedName(const std::string& name)
{
    std::error_code error;
    const std::filesystem::path target = std::filesystem::canonical(name, error);
    return error ? name : target.string();
}

} // namespace kestrin
