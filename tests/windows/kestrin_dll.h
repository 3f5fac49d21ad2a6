// kestrin.dll as a host program uses it: loaded from beside the executable,
// its functions looked up by the names Microsoft's compiler gives them (the
// header's KESTRIN_*_NAME).
#ifndef KESTRIN_TESTS_KESTRIN_DLL_H
#define KESTRIN_TESTS_KESTRIN_DLL_H

#include "kestrin.h"

#include <windows.h>

#include <string>

template <typename Function>
Function* resolve(HMODULE module, const char* name)
{
    // Through void (*)(), the one cast GCC accepts between function types.
    return reinterpret_cast<Function*>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

struct KestrinDll {
    HMODULE module = nullptr;
    std::wstring path;
    kestrin_poll_uart_fn poll = nullptr;
    kestrin_version_fn version = nullptr;
    kestrin_about_fn about = nullptr;
};

// Loaded once per process and kept; an empty `module` means it failed.
inline const KestrinDll& kestrinDll()
{
    static const KestrinDll dll = [] {
        KestrinDll loaded;
        loaded.module = LoadLibraryW(L"kestrin.dll");
        if (loaded.module == nullptr) {
            return loaded;
        }
        wchar_t path[MAX_PATH] = {};
        GetModuleFileNameW(loaded.module, path, MAX_PATH);
        loaded.path = path;
        loaded.poll = resolve<int(void*, int, unsigned char*, int)>(loaded.module, KESTRIN_POLL_UART_NAME);
        loaded.version = resolve<int()>(loaded.module, KESTRIN_VERSION_NAME);
        loaded.about = resolve<char*()>(loaded.module, KESTRIN_ABOUT_NAME);
        return loaded;
    }();
    return dll;
}

#endif
