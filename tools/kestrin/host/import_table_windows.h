// Where a loaded module keeps the addresses of the functions it imports.
// The read trace routes kestrin.dll's ReadFile through the tool by changing
// one of these entries, so the library itself stays exactly as built.
#ifndef KESTRIN_TOOL_HOST_IMPORT_TABLE_WINDOWS_H
#define KESTRIN_TOOL_HOST_IMPORT_TABLE_WINDOWS_H

#include <windows.h>

namespace kestrin {

// The entry of `module`'s import address table through which it calls
// `function` from `library` (the DLL's name, compared without regard to
// case), or null when it imports no such function by name.
void** importSlot(HMODULE module, const char* library, const char* function);

// Writes `value` into `slot`, whatever the page's protection, and returns
// what was there. Null, with the error in GetLastError, when the page
// cannot be made writable.
void* exchangeImport(void** slot, void* value);

} // namespace kestrin

#endif
