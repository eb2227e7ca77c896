#include "card/window_guard.h"

#include <unistd.h>

#include <csetjmp>
#include <csignal>
#include <cstdint>
#include <cstdlib>

#include "run/run_state.h"

static sigjmp_buf WindowLost;

// What the handler looks at, set before it can run: it may call only what
// is safe in a signal handler, which sysconf is not.
static volatile std::sig_atomic_t Guarding = 0;
static uintptr_t PageSize = 1;
static uintptr_t WindowPage = 0;

// SIGBUS as it was before the guard, and whether the guard's handler is in
// its place.
static struct sigaction Original;
static bool Installed = false;

static void OnBusError(int, siginfo_t* info, void*)
{
    if (Guarding && reinterpret_cast<uintptr_t>(info->si_addr) / PageSize == WindowPage)
        siglongjmp(WindowLost, 1);
    // Not ours: with the default back, the faulting access ends the process
    // as it would have without us once this returns.
    struct sigaction usual = {};
    usual.sa_handler = SIG_DFL;
    sigemptyset(&usual.sa_mask);
    if (sigaction(SIGBUS, &usual, nullptr) != 0)
        std::abort();  // returning would only fault again, for ever
}

static bool Install()
{
    if (Installed)
        return true;
    struct sigaction action = {};
    action.sa_sigaction = OnBusError;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    Installed = sigaction(SIGBUS, &action, &Original) == 0;
    return Installed;
}

// Should the old action not come back, the handler stays, harmless with no
// guard running, and Original keeps what is to come back next time.
static void Uninstall()
{
    if (sigaction(SIGBUS, &Original, nullptr) == 0)
        Installed = false;
}

bool RunWithWindowGuard(void (*body)(void* context), void* context)
{
    PageSize = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    WindowPage = reinterpret_cast<uintptr_t>(State.DataWindow) / PageSize;
    // Unguarded, a lost window would end the run with PROGRAM set: the
    // stores are not made at all.
    if (!Install())
        return false;
    const bool ranToItsEnd = sigsetjmp(WindowLost, 1) == 0;
    if (ranToItsEnd) {
        Guarding = 1;
        body(context);
    }
    Guarding = 0;
    Uninstall();
    return ranToItsEnd;
}
