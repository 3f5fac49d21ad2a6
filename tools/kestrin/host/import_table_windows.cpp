#include "host/import_table_windows.h"

#include <cstring>

namespace kestrin {

namespace {

template <typename T>
const T* at(HMODULE module, DWORD offset)
{
    return reinterpret_cast<const T*>(reinterpret_cast<const BYTE*>(module) + offset);
}

} // namespace

void** importSlot(HMODULE module, const char* library, const char* function)
{
    if (module == nullptr) {
        return nullptr;
    }
    const auto* dos = at<IMAGE_DOS_HEADER>(module, 0);
    if (dos->e_magic != IMAGE_DOS_SIGNATURE) {
        return nullptr;
    }
    // IMAGE_NT_HEADERS is the one of this build's width, as is the module:
    // a DLL of the other width cannot be loaded into this process.
    const auto* nt = at<IMAGE_NT_HEADERS>(module, static_cast<DWORD>(dos->e_lfanew));
    if (nt->Signature != IMAGE_NT_SIGNATURE) {
        return nullptr;
    }
    const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0 || imports.Size == 0) {
        return nullptr;
    }
    for (const auto* entry = at<IMAGE_IMPORT_DESCRIPTOR>(module, imports.VirtualAddress); entry->Name != 0; ++entry) {
        if (_stricmp(at<char>(module, entry->Name), library) != 0) {
            continue;
        }
        // The names are in the lookup table; the address table beside it
        // has been overwritten with the addresses by the loader. Without a
        // lookup table the names are gone and nothing can be matched.
        if (entry->OriginalFirstThunk == 0) {
            return nullptr;
        }
        const auto* names = at<IMAGE_THUNK_DATA>(module, entry->OriginalFirstThunk);
        auto* addresses = const_cast<IMAGE_THUNK_DATA*>(at<IMAGE_THUNK_DATA>(module, entry->FirstThunk));
        for (; names->u1.AddressOfData != 0; ++names, ++addresses) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) {
                continue;
            }
            const auto* byName = at<IMAGE_IMPORT_BY_NAME>(module, static_cast<DWORD>(names->u1.AddressOfData));
            if (std::strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0) {
                return reinterpret_cast<void**>(&addresses->u1.Function);
            }
        }
    }
    return nullptr;
}

void* exchangeImport(void** slot, void* value)
{
    // The loader may have made the table read-only once it was filled in.
    DWORD previous = 0;
    if (!VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &previous)) {
        return nullptr;
    }
    // One aligned pointer: a thread calling through the entry meanwhile
    // sees the old function or the new one, never half of each.
    void* old = InterlockedExchangePointer(slot, value);
    DWORD ignored = 0;
    VirtualProtect(slot, sizeof *slot, previous, &ignored);
    return old;
}

} // namespace kestrin
