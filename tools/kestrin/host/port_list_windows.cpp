#include "host/port_list.h"

#include <windows.h>

#include <algorithm>
#include <charconv>
#include <cstring>

namespace kestrin {

namespace {

int comNumber(const std::string& name)
{
    // Windows numbers COM ports up to 255; longer digit runs are no port.
    if (name.size() < 4 || name.size() > 8 || _strnicmp(name.c_str(), "COM", 3) != 0) {
        return -1;
    }
    unsigned number = 0;
    const char* end = name.data() + name.size();
    const auto [stop, error] = std::from_chars(name.data() + 3, end, number);
    return error == std::errc() && stop == end ? static_cast<int>(number) : -1;
}

} // namespace

std::vector<PortListing> listSerialPorts()
{
    // Every DOS device name, as a double-null-terminated list; grown until
    // it fits.
    std::vector<char> names(16 * 1024);
    for (;;) {
        const DWORD n = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
        if (n != 0) {
            break;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || names.size() > (1u << 22)) {
            return {};
        }
        names.resize(names.size() * 2);
    }
    std::vector<std::pair<int, PortListing>> found;
    for (const char* p = names.data(); *p != '\0'; p += std::strlen(p) + 1) {
        const std::string name = p;
        const int number = comNumber(name);
        if (number < 0) {
            continue;
        }
        char target[1024];
        const DWORD t = QueryDosDeviceA(name.c_str(), target, sizeof target);
        PortListing listing;
        listing.port = name;
        listing.description = t != 0 ? std::string(target) : std::string();
        found.push_back({number, listing});
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<PortListing> ports;
    for (auto& f : found) {
        ports.push_back(std::move(f.second));
    }
    return ports;
}

} // namespace kestrin
