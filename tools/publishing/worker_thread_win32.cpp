// make_manifest's second thread with the Windows calls: CreateThread and kernel semaphores.
#include "tools/publishing/worker_thread.h"

#include <windows.h>

#include <cstdio>

struct ThreadStart {
    void (*run)(void* context);
    void* context;
    HANDLE thread;
};

static DWORD WINAPI run_thread(void* start)
{
    ThreadStart& starting = *static_cast<ThreadStart*>(start);
    starting.run(starting.context);
    return 0;
}

static std::string error_number_text(const char* what)
{
    char text[64];
    std::snprintf(text, sizeof text, "%s (error %lu)", what, static_cast<unsigned long>(GetLastError()));
    return text;
}

bool start_worker_thread(void (*run)(void* context), void* context, WorkerThread& thread, std::string& error_text)
{
    ThreadStart* start = new ThreadStart{run, context, nullptr};
    start->thread = CreateThread(nullptr, 0, run_thread, start, 0, nullptr);
    if (start->thread == nullptr) {
        error_text = error_number_text("can't start a thread");
        delete start;
        thread.handle = nullptr;
        return false;
    }
    thread.handle = start;
    return true;
}

void join_worker_thread(WorkerThread& thread)
{
    ThreadStart* start = static_cast<ThreadStart*>(thread.handle);
    WaitForSingleObject(start->thread, INFINITE);
    CloseHandle(start->thread);
    delete start;
    thread.handle = nullptr;
}

bool open_semaphore(uint32_t count, Semaphore& semaphore, std::string& error_text)
{
    // The count never exceeds the buffers handed round, far below this limit.
    const LONG most = 0x7fffffff;
    semaphore.handle = CreateSemaphoreA(nullptr, static_cast<LONG>(count), most, nullptr);
    if (semaphore.handle == nullptr) {
        error_text = error_number_text("can't make a semaphore");
        return false;
    }
    return true;
}

void post_semaphore(Semaphore& semaphore)
{
    ReleaseSemaphore(semaphore.handle, 1, nullptr);
}

void wait_semaphore(Semaphore& semaphore)
{
    WaitForSingleObject(semaphore.handle, INFINITE);
}

void close_semaphore(Semaphore& semaphore)
{
    if (semaphore.handle != nullptr) {
        CloseHandle(semaphore.handle);
        semaphore.handle = nullptr;
    }
}
