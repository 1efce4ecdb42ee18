// The platform part of make_manifest's second thread, which writes block maps while the first
// reads and hashes: starting and joining it, and the counting semaphores that hand it buffers.
// POSIX threads natively; the Windows calls in the Windows build, whose runtime (the win32
// thread model) has no std::thread.
#pragma once

#include <cstdint>
#include <string>

struct WorkerThread {
    void* handle;  // the platform's thread; null when none runs
};

struct Semaphore {
    void* handle;  // the platform's semaphore; null when none is open
};

// Runs `run(context)` on a new thread. False with the reason when the system refuses.
bool start_worker_thread(void (*run)(void* context), void* context, WorkerThread& thread, std::string& error_text);

// Waits until the thread has returned, and lets it go.
void join_worker_thread(WorkerThread& thread);

// Opens a semaphore that `count` waits pass before the first post. False with the reason.
bool open_semaphore(uint32_t count, Semaphore& semaphore, std::string& error_text);

// Lets one wait pass. What the posting thread wrote before is then seen by the thread that
// passes.
void post_semaphore(Semaphore& semaphore);

// Passes once a post allows it, blocking until then.
void wait_semaphore(Semaphore& semaphore);

// Closes an open semaphore that no thread waits on; harmless on one never opened (null).
void close_semaphore(Semaphore& semaphore);
