#include "kestrin.h"

#include "build_stamp.h"

#include <cstdio>

const char buildDate[] = __DATE__;
const char buildTime[] = __TIME__;

namespace {

const int moduleVersion = 0x01000000;

const char aboutFormat[] = "Name:\t\tXMODEM\nVersion:\t%d.%d.%d.%02d\nDate:\t\t%s (%s)\n\nNote:\t\t\n";

// The text needs 72 bytes with its terminator; the rest is headroom.
char aboutText[128];

} // namespace

int KestrinVersion()
{
    return moduleVersion;
}

char* KestrinAbout()
{
    // Formatted on every call, so whatever a caller wrote into the buffer is
    // put right by the next call.
    std::snprintf(aboutText, sizeof aboutText, aboutFormat, 1, 0, 0, 0, buildDate, buildTime);
    return aboutText;
}
