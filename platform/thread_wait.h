// Waiting for the threads a step started, on every floor that starts some.
#pragma once

#include <windows.h>

#include <vector>

// Returns once every thread of `threads` has ended, calling `tick(context)` every `interval_ms`
// meanwhile (`tick` may be null). A wait the system refuses never ends the waiting early: the
// threads still use what their starter frees once this returns.
void wait_for_threads(const std::vector<HANDLE>& threads, DWORD interval_ms, void (*tick)(void*), void* context);
