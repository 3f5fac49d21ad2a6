/* A host program in C that loads Kestrin at run time, as test stations do:
 * it finds the three functions by the names kestrin.h gives for this
 * platform, opens and configures the port itself, and asks whether the device
 * answers "OK\r\n" within two seconds.
 *
 *   c_host PORT [LIBRARY]     e.g. c_host /dev/ttyUSB0, c_host.exe COM3
 *
 * Exit status: 0 matched, 1 no match, 2 the library or the port failed. */
#define _DEFAULT_SOURCE /* cfmakeraw */

#include "kestrin.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
typedef HMODULE Library;
typedef HANDLE Port;
#define noPort NULL

/* By full path, from the program's own folder: a bare "kestrin.dll" would
 * let the loader search the current directory, where anyone may plant one. */
static Library loadKestrin(const char* given)
{
    char path[MAX_PATH];
    if (given != NULL) {
        return LoadLibraryExA(given, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
    DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
    char* slash = strrchr(path, '\\');
    if (length == 0 || length >= MAX_PATH || slash == NULL || (size_t)(slash - path) + 13 > MAX_PATH) {
        return NULL;
    }
    strcpy(slash + 1, "kestrin.dll");
    return LoadLibraryExA(path, NULL, LOAD_WITH_ALTERED_SEARCH_PATH);
}
/* Any function's address; the caller casts it to the function's own type. */
static void (*findFunction(Library library, const char* name))(void)
{
    return (void (*)(void))GetProcAddress(library, name);
}

static Port openPort(const char* name)
{
    char device[64];
    snprintf(device, sizeof device, "\\\\.\\%s", name);
    Port port = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (port == INVALID_HANDLE_VALUE) {
        return noPort;
    }
    /* A read returns as soon as a byte is there, or after 100 ms without. */
    COMMTIMEOUTS timeouts = {MAXDWORD, MAXDWORD, 100, 0, 0};
    SetCommTimeouts(port, &timeouts);
    return port;
}
#define portHandle(port) ((void*)(port))
#define closePort(port) CloseHandle(port)
#else
#include <dlfcn.h>
#include <fcntl.h>
#include <stdint.h>
#include <termios.h>
#include <unistd.h>
typedef void* Library;
typedef int Port;
#define noPort (-1)

static Library loadKestrin(const char* given)
{
    return dlopen(given != NULL ? given : "libkestrin.so.1", RTLD_NOW | RTLD_LOCAL);
}
/* Any function's address; the caller casts it to the function's own type.
 * dlsym gives it as an object pointer, which POSIX allows to hold it. */
static void (*findFunction(Library library, const char* name))(void)
{
    void* address = dlsym(library, name);
    void (*function)(void);
    memcpy(&function, &address, sizeof function);
    return function;
}

static Port openPort(const char* name)
{
    Port port = open(name, O_RDWR | O_NOCTTY);
    struct termios settings;
    if (port >= 0 && tcgetattr(port, &settings) != 0) {
        close(port);
        return noPort;
    }
    if (port < 0) {
        return noPort;
    }
    /* Raw bytes; a read returns as soon as a byte is there, or after 0.1 s. */
    cfmakeraw(&settings);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 1;
    tcsetattr(port, TCSANOW, &settings);
    return port;
}
#define portHandle(port) ((void*)(intptr_t)(port))
#define closePort(port) close(port)
#endif

int main(int argc, char** argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: %s PORT [LIBRARY]\n", argv[0]);
        return 2;
    }
    Library library = loadKestrin(argc > 2 ? argv[2] : NULL);
    if (library == NULL) {
        fprintf(stderr, "c_host: cannot load the Kestrin library\n");
        return 2;
    }
    kestrin_poll_uart_fn pollUart = (kestrin_poll_uart_fn)findFunction(library, KESTRIN_POLL_UART_NAME);
    kestrin_version_fn version = (kestrin_version_fn)findFunction(library, KESTRIN_VERSION_NAME);
    kestrin_about_fn about = (kestrin_about_fn)findFunction(library, KESTRIN_ABOUT_NAME);
    if (pollUart == NULL || version == NULL || about == NULL) {
        fprintf(stderr, "c_host: the library lacks one of the Kestrin functions\n");
        return 2;
    }
    printf("version 0x%08x\n%s", (unsigned)version(), about());

    Port port = openPort(argv[1]);
    if (port == noPort) {
        fprintf(stderr, "c_host: cannot open %s\n", argv[1]);
        return 2;
    }
    unsigned char expected[] = {'O', 'K', '\r', '\n'};
    const int matched = pollUart(portHandle(port), (int)sizeof expected, expected, 2000);
    closePort(port);
    printf("%s\n", matched ? "matched" : "no match");
    return matched ? 0 : 1;
}
