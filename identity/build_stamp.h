#ifndef KESTRIN_BUILD_STAMP_H
#define KESTRIN_BUILD_STAMP_H

// When this module was built, fixed at compile time ("Jan 25 2010",
// "15:07:30"). Set SOURCE_DATE_EPOCH for a reproducible build.
extern const char buildDate[];
extern const char buildTime[];

#endif
