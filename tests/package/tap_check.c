/* The wheel's read tap on the wheel's own library, as the Python module uses
 * them: the tap bound to the library's read call, a watch on a pipe (which
 * the library polls like any line), and what the tap saw compared with what
 * the library consumed and what it left. Built for the target and run
 * natively, under qemu-user (ARM: its GOT relocations differ) and under Wine
 * (the import table).
 *
 *   tap_check LIBRARY TAP      (Linux)
 *   tap_check.exe              (Windows: kestrin.dll and kestrin_tap.dll beside it)
 *
 * Prints "tap: ok (N slots)" and exits 0, or says what is wrong and exits 1.
 */
#include "kestrin.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#if defined(_WIN32)
#include <windows.h>
typedef HMODULE module_t;
#else
#include <dlfcn.h>
#include <unistd.h>
typedef void *module_t;
#endif

typedef int (*poll_fn)(void *, int, unsigned char *, int);
typedef int (*attach_fn)(const void *);
typedef int (*watch_fn)(const void *, size_t);
typedef size_t (*take_fn)(int, unsigned char *, int64_t *, size_t, uint64_t *);
typedef void (*release_fn)(int);

static int failures;

static void check(int ok, const char *what)
{
    if (!ok) {
        printf("FAIL: %s\n", what);
        ++failures;
    }
}

static void *symbol(module_t module, const char *name)
{
#if defined(_WIN32)
    FARPROC found = GetProcAddress(module, name);
#else
    void *found = dlsym(module, name);
#endif
    void *address;
    memcpy(&address, &found, sizeof address);
    if (address == NULL) {
        printf("FAIL: no %s\n", name);
    }
    return address;
}

#define FUNCTION(type, module, name, into)                                                                   \
    do {                                                                                                     \
        void *address_ = symbol(module, name);                                                               \
        if (address_ == NULL) {                                                                              \
            return 1;                                                                                        \
        }                                                                                                    \
        memcpy(&(into), &address_, sizeof(into));                                                            \
    } while (0)

#if defined(_WIN32)
typedef HANDLE line_t;

static module_t load_beside(const char *name)
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, path, MAX_PATH);
    while (length > 0 && path[length - 1] != '\\' && path[length - 1] != '/') {
        --length;
    }
    path[length] = '\0';
    strncat(path, name, MAX_PATH - strlen(path) - 1);
    module_t module = LoadLibraryA(path);
    if (module == NULL) {
        printf("FAIL: cannot load %s (error %lu)\n", path, (unsigned long)GetLastError());
    }
    return module;
}

static int make_line(line_t *reader, line_t *writer) { return CreatePipe(reader, writer, NULL, 0) ? 0 : -1; }

static void send_bytes(line_t writer, const char *text)
{
    DWORD written = 0;
    WriteFile(writer, text, (DWORD)strlen(text), &written, NULL);
}

static size_t receive(line_t reader, unsigned char *into, size_t most)
{
    DWORD got = 0;
    return ReadFile(reader, into, (DWORD)most, &got, NULL) ? got : 0;
}

static void *as_port(line_t line) { return line; }
#else
typedef int line_t;

static module_t load(const char *path)
{
    module_t module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (module == NULL) {
        printf("FAIL: cannot load %s: %s\n", path, dlerror());
    }
    return module;
}

static int make_line(line_t *reader, line_t *writer)
{
    int ends[2];
    if (pipe(ends) != 0) {
        return -1;
    }
    *reader = ends[0];
    *writer = ends[1];
    return 0;
}

static void send_bytes(line_t writer, const char *text)
{
    if (write(writer, text, strlen(text)) != (ssize_t)strlen(text)) {
        printf("FAIL: cannot write to the pipe\n");
    }
}

static size_t receive(line_t reader, unsigned char *into, size_t most)
{
    const ssize_t got = read(reader, into, most);
    return got > 0 ? (size_t)got : 0;
}

static void *as_port(line_t line) { return (void *)(intptr_t)line; }
#endif

int main(int argc, char **argv)
{
#if defined(_WIN32)
    (void)argc;
    (void)argv;
    module_t library = load_beside("kestrin.dll");
    module_t tap = load_beside("kestrin_tap.dll");
#else
    if (argc != 3) {
        fprintf(stderr, "usage: %s LIBRARY TAP\n", argv[0]);
        return 2;
    }
    module_t library = load(argv[1]);
    module_t tap = load(argv[2]);
#endif
    if (library == NULL || tap == NULL) {
        return 1;
    }
    poll_fn poll_uart;
    attach_fn attach;
    watch_fn watch;
    take_fn take;
    release_fn release;
    FUNCTION(poll_fn, library, KESTRIN_POLL_UART_NAME, poll_uart);
    FUNCTION(attach_fn, tap, "kestrin_tap_attach", attach);
    FUNCTION(watch_fn, tap, "kestrin_tap_watch", watch);
    FUNCTION(take_fn, tap, "kestrin_tap_take", take);
    FUNCTION(release_fn, tap, "kestrin_tap_release", release);

    void *in_library;
    memcpy(&in_library, &poll_uart, sizeof in_library);
    const int slots = attach(in_library);
    check(slots >= 1, "the tap found the library's read call");
    check(attach(in_library) == slots, "binding again changes nothing");

    line_t reader, writer;
    if (make_line(&reader, &writer) != 0) {
        printf("FAIL: no pipe\n");
        return 1;
    }
    /* Four bytes per attempt: one wrong attempt, then the match; the rest stays. */
    send_bytes(writer, "NOPEPONGREST");
    const int id = watch(as_port(reader), 64);
    check(id >= 0, "a watch is free");
    unsigned char pong[] = "PONG";
    check(poll_uart(as_port(reader), 4, pong, 2000) == 1, "the poll matches through the tap");
    unsigned char seen[64];
    int64_t at[64];
    uint64_t delivered = 0;
    const size_t kept = take(id, seen, at, sizeof seen, &delivered);
    release(id);
    check(kept == 8 && delivered == 8 && memcmp(seen, "NOPEPONG", 8) == 0, "the tap saw NOPEPONG, all the library read");
    check(kept < 2 || at[kept - 1] >= at[0], "the times go forward");
    unsigned char rest[8];
    check(receive(reader, rest, 4) == 4 && memcmp(rest, "REST", 4) == 0, "what follows the reply stays in the line");

    /* Unwatched, the same reads go on unchanged. */
    send_bytes(writer, "PONG");
    check(poll_uart(as_port(reader), 4, pong, 2000) == 1, "an unwatched poll matches");
    if (failures == 0) {
        printf("tap: ok (%d slots)\n", slots);
    }
    return failures == 0 ? 0 : 1;
}
