// The update pass, run on a worker thread of its own.
#pragma once

#include <windows.h>

// Thread entry of one update pass; the parameter is unused. Always returns 0.
DWORD WINAPI update_worker(LPVOID parameter);
