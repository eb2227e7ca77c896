/*
 * veldran_watch: preloaded into a program (LD_PRELOAD) to record every byte
 * it stores into the data window of a card's BAR 3.
 *
 * The program writes the whole configuration stream into ONE byte, so the
 * mapped file only ever shows the last store.  This library notices the
 * mmap of a file named "resource3", works out where the window starts from
 * the "resource" file beside it, and makes the window's page read-only.
 * Each store then faults: the SIGSEGV handler opens the page and sets the
 * x86-64 trap flag, the store runs, and the SIGTRAP that follows records
 * the byte and shuts the page again.  It needs no debug registers and no
 * knowledge of the instruction, so it works on any x86-64 Linux, virtual
 * machines included, at the cost of two signals per store.
 *
 * Before it is trusted the method proves itself on a private page.
 *
 * Environment:
 *   VELDRAN_WATCH_OUT   file that gets the recorded bytes at exit (unset:
 *                       the library does nothing at all)
 *   VELDRAN_WATCH_INFO  file that gets "key=value" lines about the run
 *                       (default: VELDRAN_WATCH_OUT + ".info")
 *   VELDRAN_WATCH_CONSOLE  file that gets "STORE SIZE" lines: the size of
 *                       standard output (a regular file, so the size is
 *                       what has reached it) at the first recorded store
 *                       and at each store where it has changed, STORE
 *                       counting from 0 (unset: not watched)
 *
 * The stores are assumed to come from one thread at a time.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <ucontext.h>
#include <unistd.h>

#define MAX_WINDOWS 8
#define RECORD_RESERVE ((size_t)256 << 20)
#define TRAP_FLAG 0x100
#define MAX_CONSOLE_NOTES 4096

struct window {
    volatile unsigned char *byte;
    unsigned char *page;
    int prot; /* what the program asked for; restored while a store runs */
    int active;
};

static struct {
    int enabled;
    int proven;
    char reason[256];
    char notes[512];
    size_t pagesize;
    struct window win[MAX_WINDOWS];
    int nwin;
    unsigned char *buf;
    size_t len;
    unsigned long dropped;
    unsigned long stray;
    int stepping; /* window whose store is being single-stepped, or -1 */
    int stepping_stray;
    int console; /* standard output's size is noted */
    struct { size_t store; long long size; } console_notes[MAX_CONSOLE_NOTES];
    int nconsole;
    unsigned long console_dropped;
    struct sigaction old_segv;
    struct sigaction old_trap;
} w = {.stepping = -1};

typedef void *(*mmap_fn)(void *, size_t, int, int, int, off_t);
typedef int (*munmap_fn)(void *, size_t);
typedef int (*sigaction_fn)(int, const struct sigaction *, struct sigaction *);
static mmap_fn real_mmap;
static munmap_fn real_munmap;
static sigaction_fn libc_sigaction;

static void note(const char *text)
{
    size_t used = strlen(w.notes);
    snprintf(w.notes + used, sizeof w.notes - used, "%s%s", used ? "; " : "", text);
}

static void *call_mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off)
{
    /* Before the constructor ran (another library's constructor may map
     * memory) the next mmap is not looked up yet. */
    if (real_mmap)
        return real_mmap(addr, len, prot, flags, fd, off);
    return (void *)syscall(SYS_mmap, addr, len, prot, flags, fd, off);
}

static int protect(void *page, int prot)
{
    /* A raw system call: safe in a handler and never intercepted. */
    return (int)syscall(SYS_mprotect, page, w.pagesize, prot);
}

static int window_at(const void *addr)
{
    const unsigned char *p = addr;
    for (int i = 0; i < w.nwin; i++) {
        if (w.win[i].active && p >= w.win[i].page && p < w.win[i].page + w.pagesize)
            return i;
    }
    return -1;
}

/* ---- signal handlers ------------------------------------------------- */

/* A signal that is not ours goes to whoever had it before; a default action
 * is made to happen by restoring it and raising the signal again. */
static void pass_on(int sig, siginfo_t *info, void *ctx, const struct sigaction *old)
{
    if ((old->sa_flags & SA_SIGINFO) && old->sa_sigaction) {
        old->sa_sigaction(sig, info, ctx);
        return;
    }
    if (old->sa_handler != SIG_DFL && old->sa_handler != SIG_IGN) {
        old->sa_handler(sig);
        return;
    }
    libc_sigaction(sig, old, NULL);
    raise(sig);
}

static void set_trap_flag(void *ctx, int on)
{
#if defined(__x86_64__)
    greg_t *flags = &((ucontext_t *)ctx)->uc_mcontext.gregs[REG_EFL];
    *flags = on ? (*flags | TRAP_FLAG) : (*flags & ~(greg_t)TRAP_FLAG);
#else
    (void)ctx;
    (void)on;
#endif
}

static void on_segv(int sig, siginfo_t *info, void *ctx)
{
    int saved = errno;
    int i = window_at(info->si_addr);
    if (i < 0 || w.stepping >= 0 || info->si_code <= 0) {
        pass_on(sig, info, ctx, &w.old_segv);
    } else {
        protect(w.win[i].page, w.win[i].prot);
        w.stepping = i;
        w.stepping_stray = info->si_addr != (void *)w.win[i].byte;
        set_trap_flag(ctx, 1);
    }
    errno = saved;
}

/* What has reached standard output by the time store number `store` is
 * made; a raw system call, safe in the handler. */
static void note_console(size_t store)
{
    struct stat st;
    long long size;
    if (syscall(SYS_fstat, 1, &st) != 0)
        return;
    size = (long long)st.st_size;
    if (w.nconsole > 0 && w.console_notes[w.nconsole - 1].size == size)
        return;
    if (w.nconsole == MAX_CONSOLE_NOTES) {
        w.console_dropped++;
        return;
    }
    w.console_notes[w.nconsole].store = store;
    w.console_notes[w.nconsole].size = size;
    w.nconsole++;
}

static void on_trap(int sig, siginfo_t *info, void *ctx)
{
    int saved = errno;
    if (w.stepping >= 0 && (info->si_code == TRAP_TRACE || info->si_code == TRAP_BRKPT)) {
        struct window *win = &w.win[w.stepping];
        set_trap_flag(ctx, 0);
        if (!w.stepping_stray && w.console)
            note_console(w.len + w.dropped);
        if (w.stepping_stray)
            w.stray++;
        else if (w.len < RECORD_RESERVE)
            w.buf[w.len++] = *win->byte;
        else
            w.dropped++;
        protect(win->page, PROT_READ);
        w.stepping = -1;
    } else {
        pass_on(sig, info, ctx, &w.old_trap);
    }
    errno = saved;
}

static int install_handlers(void)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    sa.sa_sigaction = on_segv;
    if (libc_sigaction(SIGSEGV, &sa, &w.old_segv) != 0)
        return -1;
    sa.sa_sigaction = on_trap;
    if (libc_sigaction(SIGTRAP, &sa, &w.old_trap) == 0)
        return 0;
    libc_sigaction(SIGSEGV, &w.old_segv, NULL);
    return -1;
}

/* ---- windows --------------------------------------------------------- */

static int add_window(volatile unsigned char *byte, int prot)
{
    int i;
    if (w.nwin == MAX_WINDOWS)
        return -1;
    i = w.nwin++;
    w.win[i].byte = byte;
    w.win[i].page = (unsigned char *)((uintptr_t)byte & ~(uintptr_t)(w.pagesize - 1));
    w.win[i].prot = prot;
    w.win[i].active = protect(w.win[i].page, PROT_READ) == 0;
    return w.win[i].active ? i : -1;
}

static void disarm(int i)
{
    if (w.win[i].active)
        protect(w.win[i].page, w.win[i].prot);
    w.win[i].active = 0;
}

/* Stores to a private page, through the handlers, must come back in order,
 * the immediate form included, as padding is often written. */
static void prove(void)
{
    static const unsigned char probe[] = {0x5a, 0xa5, 0x5a, 0xff};
    unsigned char *page;
    volatile unsigned char *byte;
    int i;
#if !defined(__x86_64__)
    snprintf(w.reason, sizeof w.reason, "single-stepping needs the x86-64 trap flag");
    return;
#endif
    page = call_mmap(NULL, w.pagesize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED || (i = add_window(page + 7, PROT_READ | PROT_WRITE)) < 0) {
        snprintf(w.reason, sizeof w.reason, "no probe page: %s", strerror(errno));
    } else {
        byte = page + 7;
        for (size_t k = 0; k + 1 < sizeof probe; k++)
            *byte = probe[k];
        *byte = 0xff;
        w.proven = w.len == sizeof probe && memcmp(w.buf, probe, sizeof probe) == 0;
        if (!w.proven)
            snprintf(w.reason, sizeof w.reason, "caught %zu of %zu probe stores", w.len,
                     sizeof probe);
        disarm(i);
    }
    if (page != MAP_FAILED)
        munmap(page, w.pagesize);
    w.nwin = 0;
    w.len = 0;
    w.nconsole = 0;
}

/* Where the window starts within its page, if fd is a resource3: the BAR
 * start is the first column of line 4 of the "resource" file beside it. */
static int bar3_in_page(int fd, unsigned long long *in_page)
{
    char path[4200], text[1024];
    char *line = text;
    ssize_t n;
    snprintf(text, sizeof text, "/proc/self/fd/%d", fd);
    n = readlink(text, path, sizeof path - 1);
    if (n < 10)
        return -1;
    path[n] = '\0';
    if (strcmp(path + n - 10, "/resource3") != 0)
        return -1;
    path[n - 1] = '\0'; /* ".../resource3" becomes ".../resource" */
    fd = open(path, O_RDONLY | O_CLOEXEC);
    n = fd < 0 ? -1 : read(fd, text, sizeof text - 1);
    if (fd >= 0)
        close(fd);
    text[n > 0 ? n : 0] = '\0';
    for (int k = 0; k < 3 && line; k++) {
        line = strchr(line, '\n');
        line = line ? line + 1 : NULL;
    }
    if (!line || strncmp(line, "0x", 2) != 0) {
        note("resource3 mapped but its resource file is unreadable");
        return -1;
    }
    *in_page = strtoull(line, NULL, 16) & (w.pagesize - 1);
    return 0;
}

static void watch_window(unsigned char *map, size_t len, int prot, int fd, off_t off)
{
    unsigned long long in_page;
    long long at;
    if (bar3_in_page(fd, &in_page) != 0)
        return;
    at = (long long)in_page - (long long)off;
    if (at < 0 || (unsigned long long)at >= len || !(prot & PROT_WRITE))
        note("resource3 mapped without a writable window");
    else if (add_window(map + at, prot) < 0)
        note("a resource3 window could not be protected: its stores are NOT recorded");
}

/* ---- the wrapped calls ----------------------------------------------- */

void *mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off)
{
    void *map = call_mmap(addr, len, prot, flags, fd, off);
    if (map != MAP_FAILED && w.enabled && w.proven && fd >= 0) {
        int saved = errno;
        watch_window(map, len, prot, fd, off);
        errno = saved;
    }
    return map;
}

void *mmap64(void *addr, size_t len, int prot, int flags, int fd, off_t off)
{
    return mmap(addr, len, prot, flags, fd, off);
}

/* A window that goes away must not catch faults of whatever is mapped
 * there next. */
int munmap(void *addr, size_t len)
{
    const unsigned char *lo = addr;
    for (int i = 0; w.enabled && i < w.nwin; i++) {
        if (w.win[i].page >= lo && w.win[i].page < lo + len)
            disarm(i);
    }
    if (real_munmap)
        return real_munmap(addr, len);
    return (int)syscall(SYS_munmap, addr, len);
}

/* ---- start and finish ------------------------------------------------ */

static void write_all(const char *path, const void *data, size_t len)
{
    const char *p = data;
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    while (fd >= 0 && len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        p += n;
        len -= (size_t)n;
    }
    if (fd >= 0)
        close(fd);
}

static void write_console(const char *path)
{
    static char text[MAX_CONSOLE_NOTES * 44];
    size_t used = 0;
    for (int i = 0; i < w.nconsole && used < sizeof text; i++) {
        int n = snprintf(text + used, sizeof text - used, "%zu %lld\n", w.console_notes[i].store,
                         w.console_notes[i].size);
        if (n < 0)
            break;
        used += (size_t)n;
    }
    write_all(path, text, used < sizeof text ? used : sizeof text);
}

/* Registered with atexit from the constructor, so it runs after the
 * program's own exit work but before a sanitizer's leak check, which may
 * end the process with _exit. */
static void watch_finish(void)
{
    const char *out = getenv("VELDRAN_WATCH_OUT");
    const char *info = getenv("VELDRAN_WATCH_INFO");
    char info_path[4200], text[1400];
    int used;
    if (!info || !*info) {
        snprintf(info_path, sizeof info_path, "%s.info", out);
        info = info_path;
    }
    write_all(out, w.buf, w.proven ? w.len : 0);
    used = snprintf(text, sizeof text,
                    "method=%s\nreason=%s\nwindows=%d\nstores=%zu\nstray=%lu\ndropped=%lu\n"
                    "console_dropped=%lu\nnotes=%s\n",
                    w.proven ? "single-step" : "none", w.reason, w.nwin, w.len, w.stray,
                    w.dropped, w.console_dropped, w.notes);
    if (used > 0)
        write_all(info, text, (size_t)used);
    if (w.console)
        write_console(getenv("VELDRAN_WATCH_CONSOLE"));
}

__attribute__((constructor)) static void watch_start(void)
{
    const char *out = getenv("VELDRAN_WATCH_OUT");
    void *libc;
    if (!out || !*out)
        return;
    libc = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
    real_mmap = (mmap_fn)dlsym(RTLD_NEXT, "mmap");
    real_munmap = (munmap_fn)dlsym(RTLD_NEXT, "munmap");
    /* Straight to the C library: a sanitizer runtime may refuse or shadow
     * handlers for SIGSEGV when asked through its own sigaction. */
    libc_sigaction = libc ? (sigaction_fn)dlsym(libc, "sigaction") : NULL;
    if (!libc_sigaction)
        libc_sigaction = sigaction;
    w.pagesize = (size_t)sysconf(_SC_PAGESIZE);
    w.console = getenv("VELDRAN_WATCH_CONSOLE") && *getenv("VELDRAN_WATCH_CONSOLE");
    w.buf = call_mmap(NULL, RECORD_RESERVE, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (w.buf == MAP_FAILED) {
        w.buf = NULL;
        snprintf(w.reason, sizeof w.reason, "no room to record: %s", strerror(errno));
    } else if (install_handlers() != 0) {
        snprintf(w.reason, sizeof w.reason, "signal handlers refused: %s", strerror(errno));
    } else if (prove(), !w.proven) {
        libc_sigaction(SIGSEGV, &w.old_segv, NULL);
        libc_sigaction(SIGTRAP, &w.old_trap, NULL);
    }
    w.enabled = 1;
    atexit(watch_finish);
}
