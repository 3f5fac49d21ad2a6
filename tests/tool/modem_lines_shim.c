/* Modem lines for pseudo-terminals, which have none, so that a test can see
 * a program drive DTR and RTS and when. Preloaded into the program
 * (LD_PRELOAD=libmodem_lines_shim.so), it answers TIOCMGET, TIOCMSET,
 * TIOCMBIS and TIOCMBIC on a pseudo-terminal's slave side from a state of
 * its own, kept per terminal for the life of the process: DTR and RTS start
 * on, as a port's usually are, in each process and on each new terminal
 * that takes a closed one's number. Everything else goes to the real
 * ioctl().
 *
 * Every change of DTR or RTS is appended, as one line, to the file that
 * KESTRIN_MODEM_LINES_LOG names (read at each change; unset, nothing is
 * written; a FIFO or /dev/fd/N works too, so a test can react at once; a
 * FIFO nobody reads, or a full one, loses the record rather than hang):
 *
 *   <seconds>.<nanoseconds> <pid> <port> <request> dtr=<on|off> rts=<on|off>
 *
 * CLOCK_MONOTONIC, Python's time.monotonic(); the port as /dev/pts/N; the
 * request TIOCMSET, TIOCMBIS or TIOCMBIC; the levels after the change. A
 * request that changes no level writes nothing.
 *
 * For native programs, and for 64-bit Windows programs under Wine, whose
 * EscapeCommFunction and SetCommState end in TIOCMGET and TIOCMSET here.
 * Not under qemu-user, whose guest never calls the host's ioctl(). Calls
 * libc makes inside itself (tcsetattr, tcflush) do not come here either;
 * they touch no modem line. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <time.h>
#include <unistd.h>

#define LINES (TIOCM_DTR | TIOCM_RTS)

struct port {
    dev_t device;
    /* A new terminal under a closed one's number has a new inode, whose
     * change time is when it was made and given to its owner. */
    struct timespec made;
    int levels;
};

static struct port ports[256];
static int portCount;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;

typedef int (*ioctl_function)(int, unsigned long, ...);

static ioctl_function real;
static pthread_once_t realFound = PTHREAD_ONCE_INIT;

static void findReal(void)
{
    /* POSIX's way to a function from dlsym: C itself has no cast for it. */
    void* symbol = dlsym(RTLD_NEXT, "ioctl");
    memcpy(&real, &symbol, sizeof real);
}

static ioctl_function realIoctl(void)
{
    pthread_once(&realFound, findReal);
    return real;
}

/* Unix98 pseudo-terminal slaves have majors 136 to 143. */
static int ptySlave(int fd, struct stat* st)
{
    return fstat(fd, st) == 0 && S_ISCHR(st->st_mode) && major(st->st_rdev) >= 136 && major(st->st_rdev) <= 143;
}

/* Called with the lock held. NULL when the table is full. */
static struct port* portOf(const struct stat* st)
{
    struct port* port = NULL;
    for (int i = 0; i < portCount && port == NULL; ++i) {
        if (ports[i].device == st->st_rdev) {
            port = &ports[i];
        }
    }
    if (port == NULL) {
        if (portCount == (int)(sizeof ports / sizeof ports[0])) {
            return NULL;
        }
        port = &ports[portCount++];
        port->device = st->st_rdev;
        port->made.tv_sec = -1;
    }
    if (port->made.tv_sec != st->st_ctim.tv_sec || port->made.tv_nsec != st->st_ctim.tv_nsec) {
        port->made = st->st_ctim;
        port->levels = LINES;
    }
    return port;
}

/* Called with the lock held, so that records keep the changes' order. */
static void record(dev_t device, const char* request, int levels)
{
    const char* path = getenv("KESTRIN_MODEM_LINES_LOG");
    if (path == NULL || *path == '\0') {
        return;
    }
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    char line[160];
    const int length = snprintf(line, sizeof line, "%lld.%09ld %ld /dev/pts/%u %s dtr=%s rts=%s\n",
                                (long long)now.tv_sec, now.tv_nsec, (long)getpid(),
                                (major(device) - 136) * 256 + minor(device), request,
                                (levels & TIOCM_DTR) ? "on" : "off", (levels & TIOCM_RTS) ? "on" : "off");
    const int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd >= 0) {
        /* One write: whole lines, even from several processes. */
        if (write(fd, line, (size_t)length) != length) {
            /* A record lost is the test's to notice. */
        }
        close(fd);
    }
}

int ioctl(int fd, unsigned long request, ...)
{
    va_list arguments;
    va_start(arguments, request);
    void* argument = va_arg(arguments, void*);
    va_end(arguments);

    struct stat st;
    const int modem = request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC;
    if (!modem || !ptySlave(fd, &st)) {
        ioctl_function real = realIoctl();
        if (real == NULL) {
            errno = ENOSYS;
            return -1;
        }
        return real(fd, request, argument);
    }
    if (argument == NULL) {
        errno = EFAULT;
        return -1;
    }
    int* bits = (int*)argument;
    pthread_mutex_lock(&lock);
    struct port* port = portOf(&st);
    if (port == NULL) {
        pthread_mutex_unlock(&lock);
        errno = ENOMEM;
        return -1;
    }
    const int before = port->levels;
    const char* name = "TIOCMSET";
    switch (request) {
    case TIOCMGET: *bits = port->levels; break;
    case TIOCMSET: port->levels = *bits & LINES; break;
    case TIOCMBIS: port->levels |= *bits & LINES; name = "TIOCMBIS"; break;
    default: port->levels &= ~(*bits & LINES); name = "TIOCMBIC"; break;
    }
    if (port->levels != before) {
        record(st.st_rdev, name, port->levels);
    }
    pthread_mutex_unlock(&lock);
    return 0;
}
