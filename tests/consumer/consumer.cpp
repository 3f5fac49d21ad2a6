// A host program that takes Kestrin the way users do: the installed header,
// linked through the installed package, calling all three exports. No serial
// port is needed: a length of 0 matches at once and a length above the
// maximum fails at once, neither touching the port.
#include <kestrin.h>

namespace {

// A handle that is no open port on any platform: all bits set, that is
// INVALID_HANDLE_VALUE, or file descriptor -1. Spelled without <cstdint>,
// which the build without a C runtime lacks.
using PointerSizedUnsigned = decltype(sizeof 0);
void* const noPort = reinterpret_cast<void*>(~PointerSizedUnsigned{0});

bool startsWith(const char* text, const char* prefix)
{
    for (; *prefix != '\0'; ++text, ++prefix) {
        if (*text != *prefix) {
            return false;
        }
    }
    return true;
}

// 0 when every check passes, else the number of the first that failed.
int checkExports()
{
    unsigned char pattern[kestrinMaxLength + 1] = {'O', 'K'};
    if (pollUart(noPort, 0, pattern, 0) != 1) {
        return 1;
    }
    if (pollUart(noPort, kestrinMaxLength + 1, pattern, 0) != 0) {
        return 2;
    }
    if (KestrinVersion() != 0x01000000) {
        return 3;
    }
    const char* about = KestrinAbout();
    if (about == nullptr || !startsWith(about, "Name:\t\tXMODEM\nVersion:\t1.0.0.00\nDate:\t\t")) {
        return 4;
    }
    if (KestrinAbout() != about) {
        return 5;
    }
    // A const pattern goes through the header's inline overload to the same
    // export; a null one still picks the export itself, unambiguously.
    static const unsigned char constPattern[] = {'O', 'K'};
    if (pollUart(noPort, 0, constPattern, 0) != 1 || pollUart(noPort, 2, nullptr, 0) != 0) {
        return 6;
    }
    return 0;
}

} // namespace

#if defined(_MSC_VER)
// Built with Microsoft's ABI but without its C runtime, which is not on this
// machine: this is the process entry point, and its result the exit code.
extern "C" unsigned long __stdcall consumerEntry(void*)
{
    return static_cast<unsigned long>(checkExports());
}
#else
#include <cstdio>

int main()
{
    const int failed = checkExports();
    if (failed != 0) {
        std::printf("consumer: check %d failed\n", failed);
        return failed;
    }
    std::printf("consumer: all three exports answer; version 0x%08x\n%s", KestrinVersion(), KestrinAbout());
    return 0;
}
#endif
