#include "host/machine.h"

#include "host/windows_text.h"

#include <windows.h>

namespace kestrin {

std::string machineName()
{
    wchar_t name[256];
    DWORD size = sizeof name / sizeof name[0];
    return GetComputerNameExW(ComputerNameDnsHostname, name, &size) ? utf8(name, size) : std::string();
}

} // namespace kestrin
