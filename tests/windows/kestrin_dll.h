// kestrin.dll as a host program uses it: loaded from beside the executable,
// its functions looked up by the names Microsoft's compiler gives them.
#ifndef KESTRIN_TESTS_KESTRIN_DLL_H
#define KESTRIN_TESTS_KESTRIN_DLL_H

#include "kestrin.h"

#include <windows.h>

#include <string>

namespace names {
#ifdef _WIN64
constexpr const char* pollUart = "?pollUart@@YAHPEAXHPEAEH@Z";
constexpr const char* kestrinAbout = "?KestrinAbout@@YAPEADXZ";
#else
constexpr const char* pollUart = "?pollUart@@YAHPAXHPAEH@Z";
constexpr const char* kestrinAbout = "?KestrinAbout@@YAPADXZ";
#endif
constexpr const char* kestrinVersion = "?KestrinVersion@@YAHXZ";
} // namespace names

template <typename Function>
Function* resolve(HMODULE module, const char* name)
{
    // Through void (*)(), the one cast GCC accepts between function types.
    return reinterpret_cast<Function*>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

struct KestrinDll {
    HMODULE module = nullptr;
    std::wstring path;
    decltype(&pollUart) poll = nullptr;
    decltype(&KestrinVersion) version = nullptr;
    decltype(&KestrinAbout) about = nullptr;
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
        loaded.poll = resolve<int(void*, int, unsigned char*, int)>(loaded.module, names::pollUart);
        loaded.version = resolve<int()>(loaded.module, names::kestrinVersion);
        loaded.about = resolve<char*()>(loaded.module, names::kestrinAbout);
        return loaded;
    }();
    return dll;
}

#endif
