#include "card/window_guard.h"

#include <csetjmp>
#include <csignal>
#include <cstdint>
#include <unistd.h>

#include "run/run_state.h"

static sigjmp_buf WindowLost;

static bool InWindowPage(const void* address)
{
    const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t window = reinterpret_cast<uintptr_t>(State.DataWindow);
    return reinterpret_cast<uintptr_t>(address) / page == window / page;
}

static void OnBusError(int, siginfo_t* info, void*)
{
    if (InWindowPage(info->si_addr))
        siglongjmp(WindowLost, 1);
    // Not ours: with the default back, the faulting access ends the process
    // as it would have without us.
    signal(SIGBUS, SIG_DFL);
}

bool RunWithWindowGuard(void (*body)(void* context), void* context)
{
    struct sigaction action = {}, previous = {};
    action.sa_sigaction = OnBusError;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    sigaction(SIGBUS, &action, &previous);
    if (sigsetjmp(WindowLost, 1) != 0) {
        sigaction(SIGBUS, &previous, nullptr);
        return false;
    }
    body(context);
    sigaction(SIGBUS, &previous, nullptr);
    return true;
}
