#include "host/port_list.h"

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace kestrin {

namespace {

namespace fs = std::filesystem;

bool startsWith(const std::string& text, const char* prefix)
{
    return text.rfind(prefix, 0) == 0;
}

// The names in `folder`, or none when it cannot be read.
std::vector<fs::path> entries(const fs::path& folder)
{
    std::vector<fs::path> found;
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        found.push_back(it->path());
    }
    return found;
}

// ttyS2 before ttyS10.
bool naturalOrder(const std::string& a, const std::string& b)
{
    const auto digits = [](const std::string& s) { return s.find_first_of("0123456789"); };
    const std::string pa = a.substr(0, digits(a)), pb = b.substr(0, digits(b));
    if (pa != pb) {
        return pa < pb;
    }
    if (a.size() != b.size()) {
        return a.size() < b.size();
    }
    return a < b;
}

} // namespace

std::vector<PortListing> listSerialPorts()
{
    std::vector<PortListing> ports;
    for (const fs::path& link : entries("/dev/serial/by-id")) {
        if (link.filename().string()[0] == '.') {
            continue;
        }
        std::error_code error;
        const fs::path target = fs::canonical(link, error);
        PortListing listing;
        listing.port = error ? link.string() : target.string();
        listing.stableName = link.string();
        ports.push_back(listing);
    }
    std::sort(ports.begin(), ports.end(), [](const PortListing& a, const PortListing& b) { return a.port < b.port; });

    std::vector<std::string> names;
    for (const fs::path& node : entries("/dev")) {
        const std::string name = node.filename().string();
        if (startsWith(name, "ttyS") || startsWith(name, "ttyUSB") || startsWith(name, "ttyACM")) {
            struct stat info {};
            if (stat(node.c_str(), &info) == 0 && S_ISCHR(info.st_mode)) {
                names.push_back(name);
            }
        }
    }
    std::sort(names.begin(), names.end(), naturalOrder);
    for (const auto& name : names) {
        PortListing listing;
        listing.port = "/dev/" + name;
        ports.push_back(listing);
    }
    return ports;
}

} // namespace kestrin
