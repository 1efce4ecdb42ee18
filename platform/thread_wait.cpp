// Waiting until a step's threads have ended.
#include "platform/thread_wait.h"

static const DWORD refused_wait_pause_ms = 10;

// After a refused wait for all (a handle the system no longer takes), each thread is waited for on
// its own, and one whose handle is refused is polled by its exit code until it has ended.
static bool has_ended(HANDLE thread, DWORD interval_ms)
{
    DWORD waited = WaitForSingleObject(thread, interval_ms);
    if (waited == WAIT_OBJECT_0)
        return true;
    if (waited == WAIT_TIMEOUT)
        return false;
    DWORD code = 0;
    if (GetExitCodeThread(thread, &code) && code == STILL_ACTIVE) {
        Sleep(refused_wait_pause_ms);
        return false;
    }
    return true;
}

void wait_for_threads(const std::vector<HANDLE>& threads, DWORD interval_ms, void (*tick)(void*), void* context)
{
    for (;;) {
        DWORD waited = WaitForMultipleObjects(DWORD(threads.size()), threads.data(), TRUE, interval_ms);
        if (waited != WAIT_TIMEOUT && waited != WAIT_FAILED)
            return;
        if (waited == WAIT_FAILED)
            break;
        if (tick != NULL)
            tick(context);
    }
    for (HANDLE thread : threads) {
        while (!has_ended(thread, interval_ms)) {
            if (tick != NULL)
                tick(context);
        }
    }
}
