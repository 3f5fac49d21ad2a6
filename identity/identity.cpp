#include "kestrin.h"

#include "abi_facts.h"
#include "build_stamp.h"

#include <cstddef>
#include <cstdio>

const char buildDate[] = __DATE__;
const char buildTime[] = __TIME__;

namespace {

const int moduleVersion = KESTRIN_MODULE_VERSION;

const char aboutFormat[] = KESTRIN_ABOUT_FORMAT;

// The text needs 72 bytes with its terminator; the rest is headroom. It is
// in place from load on, exactly as KestrinAbout formats it, so that even the
// first calls find nothing to write.
char aboutText[128] = KESTRIN_ABOUT_BEFORE_DATE __DATE__ KESTRIN_ABOUT_BETWEEN __TIME__ KESTRIN_ABOUT_AFTER_TIME;

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
    std::snprintf(fresh, sizeof fresh, aboutFormat, KESTRIN_VERSION_MAJOR, KESTRIN_VERSION_MINOR, KESTRIN_VERSION_PATCH,
                  KESTRIN_VERSION_TWEAK, buildDate, buildTime);
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
