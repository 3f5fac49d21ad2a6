#include "host/port_names_windows.h"

#include <cctype>
#include <charconv>

namespace kestrin {

namespace {

const char devicePrefix[] = "\\\\.\\";

bool hasDevicePrefix(const std::string& name)
{
    return name.rfind("\\\\", 0) == 0;
}

} // namespace

std::string portDevicePath(const std::string& name)
{
    return hasDevicePrefix(name) ? name : devicePrefix + name;
}

std::string portClaimName(const std::string& name)
{
    std::string bare = name.rfind(devicePrefix, 0) == 0 ? name.substr(sizeof devicePrefix - 1) : name;
    for (char& c : bare) {
        // A backslash would name a directory of the object namespace.
        c = c == '\\' ? '/' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    // Global, so that a kestrin in another session sees it too.
    return "Global\\kestrin-port-" + bare;
}

int comPortNumber(const std::string& name)
{
    if (name.size() < 4 || name.size() > 6) {
        return -1;
    }
    for (int i = 0; i < 3; ++i) {
        if (std::toupper(static_cast<unsigned char>(name[i])) != "COM"[i]) {
            return -1;
        }
    }
    // Digits only: from_chars would take a sign, and "COM03" is no port.
    if (name[3] < '1' || name[3] > '9') {
        return -1;
    }
    unsigned number = 0;
    const char* end = name.data() + name.size();
    const auto [stop, error] = std::from_chars(name.data() + 3, end, number);
    return error == std::errc() && stop == end && number <= 255 ? static_cast<int>(number) : -1;
}

} // namespace kestrin
