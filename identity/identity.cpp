#include "kestrin.h"

#include "build_stamp.h"

#include <cstddef>
#include <cstdio>

const char buildDate[] = __DATE__;
const char buildTime[] = __TIME__;

namespace {

const int moduleVersion = 0x01000000;

const char aboutFormat[] = "Name:\t\tXMODEM\nVersion:\t%d.%d.%d.%02d\nDate:\t\t%s (%s)\n\nNote:\t\t\n";

// The text needs 72 bytes with its terminator; the rest is headroom. It is
// in place from load on, exactly as KestrinAbout formats it, so that even the
// first calls find nothing to write.
char aboutText[128] = "Name:\t\tXMODEM\nVersion:\t1.0.0.00\nDate:\t\t" __DATE__ " (" __TIME__ ")\n\nNote:\t\t\n";

} // namespace

int KestrinVersion()
{
    return moduleVersion;
}

char* KestrinAbout()
{
    // Formatted on every call, so whatever a caller wrote into the buffer is
    // put right by the next call. Only bytes that differ are written: while
    // callers leave the text alone no call writes at all, and calls from
    // several threads at once do not race, without a lock.
    char fresh[sizeof aboutText];
    std::snprintf(fresh, sizeof fresh, aboutFormat, 1, 0, 0, 0, buildDate, buildTime);
    for (std::size_t i = 0; i < sizeof fresh; ++i) {
        if (aboutText[i] != fresh[i]) {
            aboutText[i] = fresh[i];
        }
        if (fresh[i] == '\0') {
            break;
        }
    }
    return aboutText;
}
