/* The read tap: lets a host that cannot put a read() of its own in front of
 * the C library's (a Python interpreter, already running when it loads the
 * Kestrin library) see the bytes the library reads, without changing a
 * single one of those reads.
 *
 * kestrin_tap_attach() is called once the library is loaded. It points the
 * library's own import of the read call at a function here: on Linux the
 * library's GOT slots for read() (the relocations the dynamic linker bound
 * at load), on Windows its import-table entry for KERNEL32!ReadFile. The
 * library's code is not touched, nor is any other module's import: only the
 * library's calls come here. Each is handed on unchanged to the function the
 * slot held before, and its result, errno or last error included, goes back
 * unchanged. While a watch is set on a descriptor (a HANDLE on Windows), the
 * bytes each call delivered on it are noted with the time they came.
 */
#if !defined(_WIN32)
#define _GNU_SOURCE
#endif

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#if defined(_WIN32)
#include <windows.h>
#define KESTRIN_TAP_API __declspec(dllexport)
#else
#include <dlfcn.h>
#include <elf.h>
#include <errno.h>
#include <link.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>
#define KESTRIN_TAP_API __attribute__((visibility("default")))
#endif

/* ---- The public calls (see python/kestrin/_tap.py) ----------------------- */

/* Points the read calls of the module that holds `address` (a function of
 * the Kestrin library) here. Returns how many import slots now lead here
 * (0: the module imports no read call), or -1 when one could not be changed.
 * Calling it again is harmless. */
KESTRIN_TAP_API int kestrin_tap_attach(const void *address);

/* The clock the notes' times are on, in nanoseconds (Linux CLOCK_MONOTONIC,
 * Windows the performance counter). */
KESTRIN_TAP_API int64_t kestrin_tap_now_ns(void);

/* Starts noting the bytes delivered on `port`, the first `capacity` of them
 * kept. Returns the watch's number, or -1 when none is free or no memory. */
KESTRIN_TAP_API int kestrin_tap_watch(const void *port, size_t capacity);

/* Copies up to `most` of the bytes kept so far, with their times, and sets
 * `delivered` to how many were delivered in all (kept or not). Returns how
 * many were copied. */
KESTRIN_TAP_API size_t kestrin_tap_take(int watch, unsigned char *bytes, int64_t *at_ns, size_t most,
                                        uint64_t *delivered);

/* Stops the watch and frees what it kept. */
KESTRIN_TAP_API void kestrin_tap_release(int watch);

/* ---- Watches -------------------------------------------------------------- */

#define TAP_WATCHES 16

struct watch {
    int used;
    intptr_t port;
    unsigned char *bytes;
    int64_t *at_ns;
    size_t capacity;
    size_t kept;
    uint64_t delivered;
};

static struct watch watches[TAP_WATCHES];
/* How many watches are set: a read with none set takes no lock. */
static int watching;

#if defined(_WIN32)
static SRWLOCK lock = SRWLOCK_INIT;
static void lock_watches(void) { AcquireSRWLockExclusive(&lock); }
static void unlock_watches(void) { ReleaseSRWLockExclusive(&lock); }
static SRWLOCK attach_lock = SRWLOCK_INIT;
static void lock_attach(void) { AcquireSRWLockExclusive(&attach_lock); }
static void unlock_attach(void) { ReleaseSRWLockExclusive(&attach_lock); }
static int watches_set(void) { return InterlockedCompareExchange((volatile LONG *)&watching, 0, 0) != 0; }
static void count_watches(int change) { InterlockedExchangeAdd((volatile LONG *)&watching, change); }
#else
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static void lock_watches(void) { pthread_mutex_lock(&lock); }
static void unlock_watches(void) { pthread_mutex_unlock(&lock); }
static pthread_mutex_t attach_lock = PTHREAD_MUTEX_INITIALIZER;
static void lock_attach(void) { pthread_mutex_lock(&attach_lock); }
static void unlock_attach(void) { pthread_mutex_unlock(&attach_lock); }
static int watches_set(void) { return __atomic_load_n(&watching, __ATOMIC_ACQUIRE) != 0; }
static void count_watches(int change) { __atomic_add_fetch(&watching, change, __ATOMIC_RELEASE); }
#endif

int64_t kestrin_tap_now_ns(void)
{
#if defined(_WIN32)
    LARGE_INTEGER count;
    LARGE_INTEGER frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return (count.QuadPart / frequency.QuadPart) * 1000000000 +
           (count.QuadPart % frequency.QuadPart) * 1000000000 / frequency.QuadPart;
#else
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
#endif
}

/* The bytes a read call delivered on `port`, for every watch on it. */
static void note(intptr_t port, const void *buffer, size_t count)
{
    const int64_t at = kestrin_tap_now_ns();
    const unsigned char *bytes = buffer;
    lock_watches();
    for (int i = 0; i < TAP_WATCHES; ++i) {
        struct watch *w = &watches[i];
        if (!w->used || w->port != port) {
            continue;
        }
        w->delivered += count;
        for (size_t j = 0; j < count && w->kept < w->capacity; ++j) {
            w->bytes[w->kept] = bytes[j];
            w->at_ns[w->kept] = at;
            ++w->kept;
        }
    }
    unlock_watches();
}

int kestrin_tap_watch(const void *port, size_t capacity)
{
    unsigned char *bytes = malloc(capacity > 0 ? capacity : 1);
    int64_t *at_ns = malloc((capacity > 0 ? capacity : 1) * sizeof *at_ns);
    if (bytes == NULL || at_ns == NULL) {
        free(bytes);
        free(at_ns);
        return -1;
    }
    lock_watches();
    for (int i = 0; i < TAP_WATCHES; ++i) {
        struct watch *w = &watches[i];
        if (!w->used) {
            struct watch fresh = {1, (intptr_t)port, bytes, at_ns, capacity, 0, 0};
            *w = fresh;
            count_watches(1);
            unlock_watches();
            return i;
        }
    }
    unlock_watches();
    free(bytes);
    free(at_ns);
    return -1;
}

size_t kestrin_tap_take(int watch, unsigned char *bytes, int64_t *at_ns, size_t most, uint64_t *delivered)
{
    size_t copied = 0;
    *delivered = 0;
    if (watch < 0 || watch >= TAP_WATCHES) {
        return 0;
    }
    lock_watches();
    const struct watch *w = &watches[watch];
    if (w->used) {
        copied = w->kept < most ? w->kept : most;
        memcpy(bytes, w->bytes, copied);
        memcpy(at_ns, w->at_ns, copied * sizeof *at_ns);
        *delivered = w->delivered;
    }
    unlock_watches();
    return copied;
}

void kestrin_tap_release(int watch)
{
    if (watch < 0 || watch >= TAP_WATCHES) {
        return;
    }
    lock_watches();
    struct watch *w = &watches[watch];
    unsigned char *bytes = w->bytes;
    int64_t *at_ns = w->at_ns;
    if (w->used) {
        count_watches(-1);
    }
    memset(w, 0, sizeof *w);
    unlock_watches();
    free(bytes);
    free(at_ns);
}

#if defined(_WIN32)
/* ---- Windows: the module's import of KERNEL32!ReadFile -------------------- */

typedef BOOL(WINAPI *read_file_function)(HANDLE, LPVOID, DWORD, LPDWORD, LPOVERLAPPED);

/* The ReadFile the library's entry held; set once, before the entry leads here. */
static void *volatile next_read_file;

static BOOL WINAPI tap_read_file(HANDLE file, LPVOID buffer, DWORD count, LPDWORD got, LPOVERLAPPED overlapped)
{
    read_file_function next;
    void *target = next_read_file;
    memcpy(&next, &target, sizeof next);
    const BOOL ok = next(file, buffer, count, got, overlapped);
    if (ok && got != NULL && *got > 0 && overlapped == NULL && watches_set()) {
        const DWORD error = GetLastError();
        note((intptr_t)file, buffer, *got);
        SetLastError(error);
    }
    return ok;
}

static void *tap_read_file_address(void)
{
    read_file_function function = tap_read_file;
    void *address;
    memcpy(&address, &function, sizeof address);
    return address;
}

static int rebind_windows(const void *address)
{
    HMODULE module;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            (LPCWSTR)address, &module)) {
        return -1;
    }
    const unsigned char *base = (const unsigned char *)module;
    const IMAGE_DOS_HEADER *dos = (const IMAGE_DOS_HEADER *)base;
    const IMAGE_NT_HEADERS *nt = (const IMAGE_NT_HEADERS *)(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (imports.VirtualAddress == 0) {
        return 0;
    }
    void *const replacement = tap_read_file_address();
    int bound = 0;
    for (const IMAGE_IMPORT_DESCRIPTOR *d = (const IMAGE_IMPORT_DESCRIPTOR *)(base + imports.VirtualAddress);
         d->Name != 0; ++d) {
        if (lstrcmpiA((const char *)(base + d->Name), "kernel32.dll") != 0 || d->OriginalFirstThunk == 0) {
            continue;
        }
        const IMAGE_THUNK_DATA *names = (const IMAGE_THUNK_DATA *)(base + d->OriginalFirstThunk);
        IMAGE_THUNK_DATA *slots = (IMAGE_THUNK_DATA *)(base + d->FirstThunk);
        for (size_t i = 0; names[i].u1.AddressOfData != 0; ++i) {
            if (IMAGE_SNAP_BY_ORDINAL(names[i].u1.Ordinal)) {
                continue;
            }
            const IMAGE_IMPORT_BY_NAME *name = (const IMAGE_IMPORT_BY_NAME *)(base + names[i].u1.AddressOfData);
            if (strcmp((const char *)name->Name, "ReadFile") != 0) {
                continue;
            }
            void **slot = (void **)&slots[i].u1.Function;
            void *current = *slot;
            if (current != replacement) {
                if (next_read_file == NULL) {
                    next_read_file = current;
                } else if (next_read_file != current) {
                    return -1; /* another module's ReadFile: not ours to mix */
                }
                DWORD protection;
                if (!VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection)) {
                    return -1;
                }
                InterlockedExchangePointer(slot, replacement);
                VirtualProtect(slot, sizeof *slot, protection, &protection);
            }
            ++bound;
        }
    }
    return bound;
}

int kestrin_tap_attach(const void *address)
{
    lock_attach();
    const int bound = rebind_windows(address);
    unlock_attach();
    return bound;
}

#else
/* ---- Linux: the module's GOT slots for read() ----------------------------- */

#if defined(__x86_64__)
#define TAP_JUMP_SLOT R_X86_64_JUMP_SLOT
#define TAP_GLOB_DAT R_X86_64_GLOB_DAT
#elif defined(__aarch64__)
#define TAP_JUMP_SLOT R_AARCH64_JUMP_SLOT
#define TAP_GLOB_DAT R_AARCH64_GLOB_DAT
#elif defined(__arm__)
#define TAP_JUMP_SLOT R_ARM_JUMP_SLOT
#define TAP_GLOB_DAT R_ARM_GLOB_DAT
#elif defined(__i386__)
#define TAP_JUMP_SLOT R_386_JMP_SLOT
#define TAP_GLOB_DAT R_386_GLOB_DAT
#else
#error "the read tap knows the relocations of x86, x86-64, ARM and AArch64 only"
#endif

#if UINTPTR_MAX > 0xffffffffu
#define TAP_R_SYM(info) ELF64_R_SYM(info)
#define TAP_R_TYPE(info) ELF64_R_TYPE(info)
#else
#define TAP_R_SYM(info) ELF32_R_SYM(info)
#define TAP_R_TYPE(info) ELF32_R_TYPE(info)
#endif

typedef ssize_t (*read_function)(int, void *, size_t);

/* The read() the library's slots held: the C library's, or whatever the
 * dynamic linker bound them to. Set once, before a slot leads here. */
static read_function next_read;

static ssize_t tap_read(int fd, void *buffer, size_t count)
{
    const read_function next = __atomic_load_n(&next_read, __ATOMIC_ACQUIRE);
    const ssize_t got = next(fd, buffer, count);
    if (got > 0 && watches_set()) {
        const int error = errno;
        note((intptr_t)fd, buffer, (size_t)got);
        errno = error;
    }
    return got;
}

/* The loaded module that holds an address: where it lies, its dynamic
 * section, and the part that is read-only after relocation. */
struct module {
    uintptr_t address;
    uintptr_t base;
    uintptr_t start;
    uintptr_t end;
    const ElfW(Dyn) *dynamic;
    uintptr_t relro_start;
    uintptr_t relro_end;
};

static int find_module(struct dl_phdr_info *info, size_t size, void *data)
{
    (void)size;
    struct module *m = data;
    int holds = 0;
    uintptr_t start = UINTPTR_MAX;
    uintptr_t end = 0;
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) *p = &info->dlpi_phdr[i];
        if (p->p_type != PT_LOAD) {
            continue;
        }
        const uintptr_t from = info->dlpi_addr + p->p_vaddr;
        const uintptr_t to = from + p->p_memsz;
        holds |= m->address >= from && m->address < to;
        start = from < start ? from : start;
        end = to > end ? to : end;
    }
    if (!holds) {
        return 0;
    }
    m->base = info->dlpi_addr;
    m->start = start;
    m->end = end;
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) *p = &info->dlpi_phdr[i];
        if (p->p_type == PT_DYNAMIC) {
            m->dynamic = (const ElfW(Dyn) *)(info->dlpi_addr + p->p_vaddr);
        } else if (p->p_type == PT_GNU_RELRO) {
            m->relro_start = info->dlpi_addr + p->p_vaddr;
            m->relro_end = m->relro_start + p->p_memsz;
        }
    }
    return 1;
}

/* A dynamic entry's address. The dynamic linker has already added the base
 * to most of them on these processors; one it has not is still an offset. */
static uintptr_t in_module(const struct module *m, ElfW(Addr) value)
{
    return value < m->base ? m->base + value : value;
}

static read_function libc_read(void)
{
    void *found = dlsym(RTLD_DEFAULT, "read");
    read_function function;
    memcpy(&function, &found, sizeof function);
    return function;
}

/* Points one slot at tap_read, writable for that moment if it lies in the
 * read-only part. */
static int rebind_slot(const struct module *m, void **slot)
{
    const read_function replacement = tap_read;
    void *wanted;
    memcpy(&wanted, &replacement, sizeof wanted);
    void *current = __atomic_load_n(slot, __ATOMIC_ACQUIRE);
    if (current == wanted) {
        return 0;
    }
    read_function held;
    memcpy(&held, &current, sizeof held);
    /* A slot still pointing into the module itself was never bound (lazy
     * binding): the call would have gone where the linker looks it up. */
    if ((uintptr_t)current >= m->start && (uintptr_t)current < m->end) {
        held = libc_read();
    }
    if (held == NULL) {
        errno = ENOENT;
        return -1;
    }
    const read_function before = __atomic_load_n(&next_read, __ATOMIC_ACQUIRE);
    if (before == NULL) {
        __atomic_store_n(&next_read, held, __ATOMIC_RELEASE);
    } else if (before != held) {
        errno = EEXIST;
        return -1;
    }
    const uintptr_t at = (uintptr_t)slot;
    const int read_only = at >= m->relro_start && at < m->relro_end;
    const uintptr_t page_size = (uintptr_t)sysconf(_SC_PAGESIZE);
    void *page = (void *)(at & ~(page_size - 1));
    if (read_only && mprotect(page, page_size, PROT_READ | PROT_WRITE) != 0) {
        return -1;
    }
    __atomic_store_n(slot, wanted, __ATOMIC_RELEASE);
    if (read_only) {
        mprotect(page, page_size, PROT_READ);
    }
    return 0;
}

/* The slots for read() among one table of relocations (REL or RELA: both
 * begin with r_offset and r_info). */
static int rebind_table(const struct module *m, const ElfW(Sym) *symbols, const char *names, uintptr_t table,
                        size_t size, size_t entry)
{
    int bound = 0;
    if (table == 0 || entry == 0) {
        return 0;
    }
    for (size_t offset = 0; offset + entry <= size; offset += entry) {
        const ElfW(Rel) *r = (const ElfW(Rel) *)(table + offset);
        const unsigned long type = (unsigned long)TAP_R_TYPE(r->r_info);
        const size_t symbol = (size_t)TAP_R_SYM(r->r_info);
        if ((type != TAP_JUMP_SLOT && type != TAP_GLOB_DAT) || symbol == 0 ||
            strcmp(names + symbols[symbol].st_name, "read") != 0) {
            continue;
        }
        if (rebind_slot(m, (void **)(m->base + r->r_offset)) != 0) {
            return -1;
        }
        ++bound;
    }
    return bound;
}

static int rebind_linux(const void *address)
{
    struct module m;
    memset(&m, 0, sizeof m);
    m.address = (uintptr_t)address;
    if (dl_iterate_phdr(find_module, &m) == 0 || m.dynamic == NULL) {
        errno = ENOENT;
        return -1;
    }
    const ElfW(Sym) *symbols = NULL;
    const char *names = NULL;
    uintptr_t plt = 0, rela = 0, rel = 0;
    size_t plt_size = 0, rela_size = 0, rel_size = 0;
    size_t rela_entry = sizeof(ElfW(Rela)), rel_entry = sizeof(ElfW(Rel));
    ElfW(Sxword) plt_kind = DT_RELA;
    for (const ElfW(Dyn) *d = m.dynamic; d->d_tag != DT_NULL; ++d) {
        switch (d->d_tag) {
        case DT_SYMTAB: symbols = (const ElfW(Sym) *)in_module(&m, d->d_un.d_ptr); break;
        case DT_STRTAB: names = (const char *)in_module(&m, d->d_un.d_ptr); break;
        case DT_JMPREL: plt = in_module(&m, d->d_un.d_ptr); break;
        case DT_PLTRELSZ: plt_size = (size_t)d->d_un.d_val; break;
        case DT_PLTREL: plt_kind = (ElfW(Sxword))d->d_un.d_val; break;
        case DT_RELA: rela = in_module(&m, d->d_un.d_ptr); break;
        case DT_RELASZ: rela_size = (size_t)d->d_un.d_val; break;
        case DT_RELAENT: rela_entry = (size_t)d->d_un.d_val; break;
        case DT_REL: rel = in_module(&m, d->d_un.d_ptr); break;
        case DT_RELSZ: rel_size = (size_t)d->d_un.d_val; break;
        case DT_RELENT: rel_entry = (size_t)d->d_un.d_val; break;
        default: break;
        }
    }
    if (symbols == NULL || names == NULL) {
        errno = ENOENT;
        return -1;
    }
    const int from_plt =
        rebind_table(&m, symbols, names, plt, plt_size, plt_kind == DT_RELA ? rela_entry : rel_entry);
    const int from_rela = rebind_table(&m, symbols, names, rela, rela_size, rela_entry);
    const int from_rel = rebind_table(&m, symbols, names, rel, rel_size, rel_entry);
    if (from_plt < 0 || from_rela < 0 || from_rel < 0) {
        return -1;
    }
    return from_plt + from_rela + from_rel;
}

int kestrin_tap_attach(const void *address)
{
    lock_attach();
    const int bound = rebind_linux(address);
    unlock_attach();
    return bound;
}

#endif
