// Clocks, memory and file reading shared by the Windows benches.
#include "bench/bench_measure.h"

#include <windows.h>
#include <psapi.h>

#include <cstdint>
#include <cstdio>

static const double filetime_seconds = 1e-7;  // FILETIME counts 100 ns

static double cpu_seconds(const FILETIME& kernel, const FILETIME& user)
{
    uint64_t kernel_ticks = uint64_t(kernel.dwHighDateTime) << 32 | kernel.dwLowDateTime;
    uint64_t user_ticks = uint64_t(user.dwHighDateTime) << 32 | user.dwLowDateTime;
    return double(kernel_ticks + user_ticks) * filetime_seconds;
}

double seconds_now()
{
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return double(counter.QuadPart) / double(frequency.QuadPart);
}

double thread_cpu_seconds()
{
    FILETIME created;
    FILETIME ended;
    FILETIME kernel;
    FILETIME user;
    GetThreadTimes(GetCurrentThread(), &created, &ended, &kernel, &user);
    return cpu_seconds(kernel, user);
}

double process_cpu_seconds()
{
    FILETIME created;
    FILETIME ended;
    FILETIME kernel;
    FILETIME user;
    GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user);
    return cpu_seconds(kernel, user);
}

double peak_working_set_mib()
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    return double(counters.PeakWorkingSetSize) / 1048576.0;
}

bool read_whole_file(const std::string& file_name, std::string& text)
{
    text.clear();
    FILE* stream = fopen(file_name.c_str(), "rb");
    if (stream == NULL)
        return false;
    char block[65536];
    size_t got;
    while ((got = fread(block, 1, sizeof(block), stream)) > 0)
        text.append(block, got);
    fclose(stream);
    return true;
}
