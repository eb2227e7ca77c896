/*
 * veldran_watch: preloaded into a program (LD_PRELOAD) to record every byte
 * it stores into the data window of a card's BAR 3.
 *
 * The program writes the whole configuration stream into ONE byte, so the
 * mapped file only ever shows the last store.  This library notices the
 * mmap of a file named "resource3", works out where the window starts from
 * the "resource" file beside it, and traps every store to that byte:
 *
 *   watchpoint   a hardware write watchpoint through perf_event_open with
 *                sigtrap; each store raises SIGTRAP (TRAP_PERF).
 *   single-step  the window's page is made read-only; a store faults, the
 *                SIGSEGV handler opens the page and sets the x86-64 trap
 *                flag, the store runs, and the following SIGTRAP records
 *                the byte and shuts the page again.  Opening and shutting
 *                a page costs tens of microseconds in a virtual machine, so
 *                the plain byte stores a compiler emits (mov r/m8, r8 and
 *                mov r/m8, imm8) are instead carried out by the handler
 *                through a second, writable view of the same file page;
 *                anything else is stepped.
 *
 * Each method proves itself on a private byte before it is trusted: some
 * virtual machines accept hardware watchpoints that never fire.
 *
 * Environment:
 *   VELDRAN_WATCH_OUT     file that gets the recorded bytes at exit (unset:
 *                         the library does nothing at all)
 *   VELDRAN_WATCH_INFO    file that gets "key=value" lines about the run
 *                         (default: VELDRAN_WATCH_OUT + ".info")
 *   VELDRAN_WATCH_METHOD  auto (default), watchpoint or step
 *   VELDRAN_WATCH_EMULATE 0: step every store, carry out none in the handler
 *
 * The stores are assumed to come from one thread at a time.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/hw_breakpoint.h>
#include <linux/perf_event.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <ucontext.h>
#include <unistd.h>

#ifndef TRAP_PERF
#define TRAP_PERF 6
#endif

#define MAX_WINDOWS 8
#define RECORD_RESERVE ((size_t)256 << 20)
#define TRAP_FLAG 0x100
#define COOKIE_BASE 0x7665000u /* sig_data of window i is COOKIE_BASE + i */

enum method { METHOD_NONE, METHOD_WATCHPOINT, METHOD_STEP };

struct window {
    volatile unsigned char *byte;
    unsigned char *page;
    int prot; /* what the program asked for; restored while a store runs */
    unsigned char *alias; /* writable view of the same page, or NULL */
    int perf_fd;
    int active;
};

static struct {
    int enabled;
    enum method method;
    char reason[256];
    char notes[512];
    size_t pagesize;
    struct window win[MAX_WINDOWS];
    int nwin;
    unsigned char *buf;
    size_t len;
    unsigned long dropped;
    unsigned long stray;
    unsigned long emulated;
    int emulate;
    int stepping; /* window whose store is being single-stepped, or -1 */
    int stepping_stray;
    int handlers_installed;
    struct sigaction old_segv;
    struct sigaction old_trap;
} w = {.stepping = -1};

typedef void *(*mmap_fn)(void *, size_t, int, int, int, off_t);
typedef int (*munmap_fn)(void *, size_t);
typedef int (*sigaction_fn)(int, const struct sigaction *, struct sigaction *);
static mmap_fn real_mmap;
static munmap_fn real_munmap;
static sigaction_fn libc_sigaction;

/* ---- small helpers --------------------------------------------------- */

static void note(const char *text)
{
    size_t used = strlen(w.notes);
    snprintf(w.notes + used, sizeof w.notes - used, "%s%s", used ? "; " : "",
             text);
}

static void *call_mmap(void *addr, size_t len, int prot, int flags, int fd,
                       off_t off)
{
    /* Before the constructor ran (another library's constructor may map
     * memory) the next mmap is not looked up yet. */
    if (real_mmap)
        return real_mmap(addr, len, prot, flags, fd, off);
    return (void *)syscall(SYS_mmap, addr, len, prot, flags, fd, off);
}

static int protect(void *page, size_t len, int prot)
{
    /* A raw system call: safe in a handler and never intercepted. */
    return (int)syscall(SYS_mprotect, page, len, prot);
}

static void record(unsigned char value)
{
    if (w.len < RECORD_RESERVE)
        w.buf[w.len++] = value;
    else
        w.dropped++;
}

static int window_at(const void *addr)
{
    const unsigned char *p = addr;
    for (int i = 0; i < w.nwin; i++) {
        if (w.win[i].active && p >= w.win[i].page &&
            p < w.win[i].page + w.pagesize)
            return i;
    }
    return -1;
}

static const char *method_name(enum method m)
{
    if (m == METHOD_WATCHPOINT)
        return "watchpoint";
    if (m == METHOD_STEP)
        return "single-step";
    return "none";
}

/* ---- signal handlers ------------------------------------------------- */

/* A signal that is not ours goes to whoever had it before; a default action
 * is made to happen by restoring it and raising the signal again. */
static void pass_on(int sig, siginfo_t *info, void *ctx,
                    const struct sigaction *old)
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

#if defined(__x86_64__)
static void set_trap_flag(void *ctx, int on)
{
    ucontext_t *uc = ctx;
    if (on)
        uc->uc_mcontext.gregs[REG_EFL] |= TRAP_FLAG;
    else
        uc->uc_mcontext.gregs[REG_EFL] &= ~(greg_t)TRAP_FLAG;
}
#else
static void set_trap_flag(void *ctx, int on)
{
    (void)ctx;
    (void)on;
}
#endif

#if defined(__x86_64__)
/* Length of a ModRM memory operand (ModRM, SIB, displacement), or 0 for a
 * register operand, which cannot have faulted. */
static size_t memory_operand_length(const unsigned char *m)
{
    unsigned mod = m[0] >> 6, rm = m[0] & 7;
    if (mod == 3)
        return 0;
    if (rm == 4 && mod == 0 && (m[1] & 7) == 5)
        return 2 + 4;
    if (rm == 5 && mod == 0)
        return 1 + 4;
    return 1 + (rm == 4) + (mod == 1 ? 1 : mod == 2 ? 4 : 0);
}

static unsigned char byte_register(const greg_t *regs, unsigned n, int rex)
{
    static const int index[16] = {
        REG_RAX, REG_RCX, REG_RDX, REG_RBX, REG_RSP, REG_RBP,
        REG_RSI, REG_RDI, REG_R8,  REG_R9,  REG_R10, REG_R11,
        REG_R12, REG_R13, REG_R14, REG_R15};
    if (!rex && n >= 4 && n < 8) /* AH, CH, DH, BH */
        return (unsigned char)(regs[index[n - 4]] >> 8);
    return (unsigned char)regs[index[n]];
}

/* Decodes mov r/m8, r8 (88 /r) and mov r/m8, imm8 (C6 /0), each with an
 * optional REX prefix.  Returns the instruction's length, 0 if it is
 * something else. */
static size_t decode_byte_store(const unsigned char *ip, const greg_t *regs,
                                unsigned char *value)
{
    int rex = (ip[0] & 0xF0) == 0x40 ? ip[0] : 0;
    const unsigned char *op = ip + (rex != 0);
    size_t operand = memory_operand_length(op + 1);
    unsigned reg = (op[1] >> 3) & 7;
    if (operand == 0)
        return 0;
    if (op[0] == 0x88) {
        *value = byte_register(regs, reg | ((rex & 4) << 1), rex);
        return (size_t)(rex != 0) + 1 + operand;
    }
    if (op[0] == 0xC6 && reg == 0) {
        *value = op[1 + operand];
        return (size_t)(rex != 0) + 1 + operand + 1;
    }
    return 0;
}

static int emulate_store(int i, unsigned char *addr, void *ctx)
{
    greg_t *regs = ((ucontext_t *)ctx)->uc_mcontext.gregs;
    struct window *win = &w.win[i];
    unsigned char value;
    size_t len;
    if (!w.emulate || !win->alias || !(regs[REG_ERR] & 2))
        return 0;
    len = decode_byte_store((const unsigned char *)regs[REG_RIP], regs, &value);
    if (len == 0)
        return 0;
    win->alias[addr - win->page] = value;
    regs[REG_RIP] += (greg_t)len;
    w.emulated++;
    if (addr == (unsigned char *)win->byte)
        record(value);
    else
        w.stray++;
    return 1;
}
#else
static int emulate_store(int i, unsigned char *addr, void *ctx)
{
    (void)i;
    (void)addr;
    (void)ctx;
    return 0;
}
#endif

static void on_segv(int sig, siginfo_t *info, void *ctx)
{
    int saved = errno;
    int i = window_at(info->si_addr);
    if (i < 0 || w.stepping >= 0 || info->si_code <= 0) {
        pass_on(sig, info, ctx, &w.old_segv);
        errno = saved;
        return;
    }
    if (emulate_store(i, info->si_addr, ctx)) {
        errno = saved;
        return;
    }
    protect(w.win[i].page, w.pagesize, w.win[i].prot);
    w.stepping = i;
    w.stepping_stray = (info->si_addr != (void *)w.win[i].byte);
    set_trap_flag(ctx, 1);
    errno = saved;
}

static void finish_step(void *ctx)
{
    struct window *win = &w.win[w.stepping];
    set_trap_flag(ctx, 0);
    if (w.stepping_stray)
        w.stray++;
    else
        record(*win->byte);
    protect(win->page, w.pagesize, PROT_READ);
    w.stepping = -1;
}

/* Where the kernel puts sig_data in a TRAP_PERF siginfo; glibc 2.36 has no
 * name for it yet.  It follows si_addr in the fault fields. */
static unsigned long perf_data(const siginfo_t *info)
{
    unsigned long data;
    memcpy(&data, (const char *)&info->si_addr + sizeof(void *), sizeof data);
    return data;
}

static int perf_window(const siginfo_t *info)
{
    unsigned long i = perf_data(info) - COOKIE_BASE;
    if (info->si_code != TRAP_PERF || i >= (unsigned long)w.nwin)
        return -1;
    return w.win[i].active && w.win[i].perf_fd >= 0 ? (int)i : -1;
}

static void on_trap(int sig, siginfo_t *info, void *ctx)
{
    int saved = errno;
    int code = info->si_code;
    int i;
    if (w.stepping >= 0 && (code == TRAP_TRACE || code == TRAP_BRKPT))
        finish_step(ctx);
    else if ((i = perf_window(info)) >= 0)
        record(*w.win[i].byte);
    else
        pass_on(sig, info, ctx, &w.old_trap);
    errno = saved;
}

static int install_handlers(void)
{
    struct sigaction sa;
    if (w.handlers_installed)
        return 0;
    memset(&sa, 0, sizeof sa);
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    sa.sa_sigaction = on_segv;
    if (libc_sigaction(SIGSEGV, &sa, &w.old_segv) != 0)
        return -1;
    sa.sa_sigaction = on_trap;
    if (libc_sigaction(SIGTRAP, &sa, &w.old_trap) != 0)
        return -1;
    w.handlers_installed = 1;
    return 0;
}

static void remove_handlers(void)
{
    if (!w.handlers_installed)
        return;
    libc_sigaction(SIGSEGV, &w.old_segv, NULL);
    libc_sigaction(SIGTRAP, &w.old_trap, NULL);
    w.handlers_installed = 0;
}

/* ---- arming a byte ----------------------------------------------------- */

static int open_watchpoint(volatile unsigned char *byte, unsigned long cookie)
{
    struct perf_event_attr attr;
    memset(&attr, 0, sizeof attr);
    attr.type = PERF_TYPE_BREAKPOINT;
    attr.size = sizeof attr;
    attr.bp_type = HW_BREAKPOINT_W;
    attr.bp_addr = (uintptr_t)byte;
    attr.bp_len = HW_BREAKPOINT_LEN_1;
    attr.sample_period = 1;
    attr.sigtrap = 1;
    attr.remove_on_exec = 1;
    attr.exclude_kernel = 1;
    attr.exclude_hv = 1;
    attr.sig_data = cookie;
    return (int)syscall(SYS_perf_event_open, &attr, 0, -1, -1,
                        PERF_FLAG_FD_CLOEXEC);
}

static int arm(int i, enum method m)
{
    struct window *win = &w.win[i];
    win->perf_fd = -1;
    if (m == METHOD_WATCHPOINT) {
        win->perf_fd = open_watchpoint(win->byte, COOKIE_BASE + i);
        return win->perf_fd >= 0 ? 0 : -1;
    }
    return protect(win->page, w.pagesize, PROT_READ);
}

static int add_window(volatile unsigned char *byte, int prot)
{
    int i;
    if (w.nwin == MAX_WINDOWS)
        return -1;
    i = w.nwin++;
    w.win[i].byte = byte;
    w.win[i].page =
        (unsigned char *)((uintptr_t)byte & ~(uintptr_t)(w.pagesize - 1));
    w.win[i].prot = prot;
    w.win[i].alias = NULL;
    w.win[i].perf_fd = -1;
    w.win[i].active = 1;
    return i;
}

/* A second view of the window's page, for stores carried out by the
 * handler.  Only a shared mapping has one that the program also sees. */
static void add_alias(int i, int fd, off_t page_offset)
{
    unsigned char *alias = call_mmap(NULL, w.pagesize, PROT_READ | PROT_WRITE,
                                     MAP_SHARED, fd, page_offset);
    w.win[i].alias = alias == MAP_FAILED ? NULL : alias;
}

static void disarm(int i)
{
    struct window *win = &w.win[i];
    if (!win->active)
        return;
    if (win->perf_fd >= 0)
        close(win->perf_fd);
    else
        protect(win->page, w.pagesize, win->prot);
    if (win->alias)
        munmap(win->alias, w.pagesize);
    win->alias = NULL;
    win->perf_fd = -1;
    win->active = 0;
}

/* ---- proving a method before using it ---------------------------------- */

static int try_stores(enum method m, volatile unsigned char *byte, int fd)
{
    static const unsigned char probe[] = {0x5a, 0xa5, 0x5a, 0xff};
    int i = add_window(byte, PROT_READ | PROT_WRITE);
    int ok;
    if (i >= 0 && fd >= 0)
        add_alias(i, fd, 0);
    if (i < 0 || arm(i, m) != 0) {
        snprintf(w.reason, sizeof w.reason, "%s could not be armed: %s",
                 method_name(m), strerror(errno));
        w.nwin = 0;
        return -1;
    }
    for (size_t k = 0; k + 1 < sizeof probe; k++)
        *byte = probe[k];
    *byte = 0xff; /* the immediate form, as padding is often written */
    syscall(SYS_getpid); /* a trip through the kernel delivers anything due */
    ok = w.len == sizeof probe && memcmp(w.buf, probe, sizeof probe) == 0;
    if (!ok)
        snprintf(w.reason, sizeof w.reason,
                 "%s was armed but caught %zu of %zu probe stores",
                 method_name(m), w.len, sizeof probe);
    disarm(i);
    w.nwin = 0;
    w.len = 0;
    return ok ? 0 : -1;
}

static int prove_watchpoint(void)
{
    static volatile unsigned char probe_byte;
    return try_stores(METHOD_WATCHPOINT, &probe_byte, -1);
}

static int prove_step(void)
{
#if defined(__x86_64__)
    /* A shared file page, like the window, so its second view is tried too. */
    int fd = memfd_create("veldran-watch-probe", MFD_CLOEXEC);
    unsigned char *page = MAP_FAILED;
    int rc = -1;
    if (fd >= 0 && ftruncate(fd, (off_t)w.pagesize) == 0)
        page = call_mmap(NULL, w.pagesize, PROT_READ | PROT_WRITE, MAP_SHARED,
                         fd, 0);
    if (page != MAP_FAILED) {
        rc = try_stores(METHOD_STEP, page + 7, fd);
        munmap(page, w.pagesize);
    } else {
        snprintf(w.reason, sizeof w.reason, "no probe page: %s",
                 strerror(errno));
    }
    if (fd >= 0)
        close(fd);
    w.emulated = 0;
    return rc;
#else
    snprintf(w.reason, sizeof w.reason,
             "single-step needs the x86-64 trap flag");
    return -1;
#endif
}

static void choose_method(const char *wanted)
{
    char refused[256] = "";
    int want_wp = !wanted || strcmp(wanted, "step") != 0;
    int want_step = !wanted || strcmp(wanted, "watchpoint") != 0;
    if (want_wp && prove_watchpoint() == 0) {
        w.method = METHOD_WATCHPOINT;
        return;
    }
    if (want_wp)
        snprintf(refused, sizeof refused, "%s", w.reason);
    if (want_step && prove_step() == 0) {
        w.method = METHOD_STEP;
        snprintf(w.reason, sizeof w.reason, "%s",
                 want_wp ? refused : "asked for single-step");
        return;
    }
    w.method = METHOD_NONE;
    if (want_wp && want_step) {
        char step_reason[256];
        snprintf(step_reason, sizeof step_reason, "%s", w.reason);
        snprintf(w.reason, sizeof w.reason, "%.120s; %.120s", refused,
                 step_reason);
    }
}

/* ---- noticing the window ----------------------------------------------- */

static int fd_names_resource3(int fd, char *dir, size_t size)
{
    char link[64];
    char *slash;
    ssize_t n;
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    n = readlink(link, dir, size - 1);
    if (n <= 0)
        return 0;
    dir[n] = '\0';
    slash = strrchr(dir, '/');
    if (!slash || strcmp(slash + 1, "resource3") != 0)
        return 0;
    *slash = '\0';
    return 1;
}

/* The BAR start is the first column of line 4 of the "resource" file. */
static int read_bar3_start(const char *dir, unsigned long long *start)
{
    char path[4200];
    char text[1024];
    char *line = text;
    ssize_t n;
    int fd;
    snprintf(path, sizeof path, "%s/resource", dir);
    fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0)
        return -1;
    text[n] = '\0';
    for (int k = 0; k < 3 && line; k++) {
        line = strchr(line, '\n');
        line = line ? line + 1 : NULL;
    }
    if (!line || strncmp(line, "0x", 2) != 0)
        return -1;
    *start = strtoull(line, NULL, 16);
    return 0;
}

static void watch_window(unsigned char *map, size_t len, int prot, int flags,
                         int fd, off_t off, const char *dir)
{
    unsigned long long start;
    long long at;
    int i;
    if (read_bar3_start(dir, &start) != 0) {
        note("resource3 mapped but its resource file is unreadable");
        return;
    }
    at = (long long)(start & (w.pagesize - 1)) - (long long)off;
    if (at < 0 || (unsigned long long)at >= len || !(prot & PROT_WRITE)) {
        note("resource3 mapped without a writable window");
        return;
    }
    i = add_window(map + at, prot);
    if (i < 0) {
        note("too many resource3 mappings; later ones not watched");
        return;
    }
    if (flags & MAP_SHARED)
        add_alias(i, fd, off + (w.win[i].page - map));
    if (arm(i, w.method) == 0)
        return;
    note("watchpoint on the window refused; single-stepping instead");
    w.method = METHOD_STEP;
    if (arm(i, METHOD_STEP) != 0)
        note("window could not be protected: stores NOT recorded");
}

static void maybe_watch(void *map, size_t len, int prot, int flags, int fd,
                        off_t off)
{
    char dir[4096];
    int saved = errno;
    if (fd >= 0 && w.method != METHOD_NONE &&
        fd_names_resource3(fd, dir, sizeof dir))
        watch_window(map, len, prot, flags, fd, off, dir);
    errno = saved;
}

/* ---- the wrapped calls ------------------------------------------------- */

void *mmap(void *addr, size_t len, int prot, int flags, int fd, off_t off)
{
    void *map = call_mmap(addr, len, prot, flags, fd, off);
    if (map != MAP_FAILED && w.enabled)
        maybe_watch(map, len, prot, flags, fd, off);
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
        if (w.win[i].active && w.win[i].page >= lo &&
            w.win[i].page < lo + len)
            disarm(i);
    }
    if (real_munmap)
        return real_munmap(addr, len);
    return (int)syscall(SYS_munmap, addr, len);
}

/* ---- start and finish -------------------------------------------------- */

static int write_all(const char *path, const void *data, size_t len)
{
    const char *p = data;
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return -1;
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        p += n;
        len -= (size_t)n;
    }
    close(fd);
    return len == 0 ? 0 : -1;
}

static void write_info(const char *path)
{
    char text[1400];
    int used = snprintf(text, sizeof text,
                        "method=%s\nreason=%s\nwindows=%d\nstores=%zu\n"
                        "emulated=%lu\nstray=%lu\ndropped=%lu\nnotes=%s\n",
                        method_name(w.method), w.reason, w.nwin, w.len,
                        w.emulated, w.stray, w.dropped, w.notes);
    if (used > 0)
        write_all(path, text, (size_t)used);
}

static void watch_finish(void);

static void resolve_calls(void)
{
    void *libc = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD);
    real_mmap = (mmap_fn)dlsym(RTLD_NEXT, "mmap");
    real_munmap = (munmap_fn)dlsym(RTLD_NEXT, "munmap");
    /* Straight to the C library: a sanitizer runtime may refuse or shadow
     * handlers for SIGSEGV when asked through its own sigaction. */
    libc_sigaction = libc ? (sigaction_fn)dlsym(libc, "sigaction") : NULL;
    if (!libc_sigaction)
        libc_sigaction = sigaction;
}

__attribute__((constructor)) static void watch_start(void)
{
    const char *out = getenv("VELDRAN_WATCH_OUT");
    if (!out || !*out)
        return;
    resolve_calls();
    w.pagesize = (size_t)sysconf(_SC_PAGESIZE);
    w.emulate = !getenv("VELDRAN_WATCH_EMULATE") ||
                strcmp(getenv("VELDRAN_WATCH_EMULATE"), "0") != 0;
    w.buf = call_mmap(NULL, RECORD_RESERVE, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (w.buf == MAP_FAILED) {
        snprintf(w.reason, sizeof w.reason, "no room to record: %s",
                 strerror(errno));
    } else if (install_handlers() != 0) {
        snprintf(w.reason, sizeof w.reason, "signal handlers refused: %s",
                 strerror(errno));
    } else {
        choose_method(getenv("VELDRAN_WATCH_METHOD"));
    }
    if (w.method == METHOD_NONE)
        remove_handlers();
    w.enabled = 1;
    atexit(watch_finish);
}

/* Registered with atexit from the constructor, so it runs after the
 * program's own exit work but before a sanitizer's leak check, which may
 * end the process with _exit. */
static void watch_finish(void)
{
    const char *out = getenv("VELDRAN_WATCH_OUT");
    const char *info = getenv("VELDRAN_WATCH_INFO");
    char info_path[4200];
    if (!w.enabled || !out)
        return;
    if (!info || !*info) {
        snprintf(info_path, sizeof info_path, "%s.info", out);
        info = info_path;
    }
    if (write_all(out, w.method == METHOD_NONE ? "" : (char *)w.buf, w.len))
        note("could not write the recorded bytes");
    write_info(info);
}
