// make_manifest's second thread with POSIX threads; the semaphores are a mutex and a condition,
// since unnamed POSIX semaphores are missing on some of the systems a studio publishes from.
#include "tools/publishing/worker_thread.h"

#include <pthread.h>

#include <cstring>

struct CountedSignal {
    pthread_mutex_t mutex;
    pthread_cond_t changed;
    uint32_t count;  // waits that may pass now
};

struct ThreadStart {
    void (*run)(void* context);
    void* context;
    pthread_t thread;
};

static void* run_thread(void* start)
{
    ThreadStart& starting = *static_cast<ThreadStart*>(start);
    starting.run(starting.context);
    return nullptr;
}

bool start_worker_thread(void (*run)(void* context), void* context, WorkerThread& thread, std::string& error_text)
{
    ThreadStart* start = new ThreadStart{run, context, pthread_t()};
    int error = pthread_create(&start->thread, nullptr, run_thread, start);
    if (error != 0) {
        delete start;
        thread.handle = nullptr;
        error_text = std::string("can't start a thread: ") + std::strerror(error);
        return false;
    }
    thread.handle = start;
    return true;
}

void join_worker_thread(WorkerThread& thread)
{
    ThreadStart* start = static_cast<ThreadStart*>(thread.handle);
    pthread_join(start->thread, nullptr);
    delete start;
    thread.handle = nullptr;
}

bool open_semaphore(uint32_t count, Semaphore& semaphore, std::string& error_text)
{
    CountedSignal* signal = new CountedSignal;
    signal->count = count;
    if (pthread_mutex_init(&signal->mutex, nullptr) != 0) {
        delete signal;
        semaphore.handle = nullptr;
        error_text = "can't make a mutex";
        return false;
    }
    if (pthread_cond_init(&signal->changed, nullptr) != 0) {
        pthread_mutex_destroy(&signal->mutex);
        delete signal;
        semaphore.handle = nullptr;
        error_text = "can't make a condition";
        return false;
    }
    semaphore.handle = signal;
    return true;
}

void post_semaphore(Semaphore& semaphore)
{
    CountedSignal* signal = static_cast<CountedSignal*>(semaphore.handle);
    pthread_mutex_lock(&signal->mutex);
    ++signal->count;
    pthread_cond_signal(&signal->changed);
    pthread_mutex_unlock(&signal->mutex);
}

void wait_semaphore(Semaphore& semaphore)
{
    CountedSignal* signal = static_cast<CountedSignal*>(semaphore.handle);
    pthread_mutex_lock(&signal->mutex);
    while (signal->count == 0) {
        pthread_cond_wait(&signal->changed, &signal->mutex);
    }
    --signal->count;
    pthread_mutex_unlock(&signal->mutex);
}

void close_semaphore(Semaphore& semaphore)
{
    CountedSignal* signal = static_cast<CountedSignal*>(semaphore.handle);
    if (signal != nullptr) {
        pthread_cond_destroy(&signal->changed);
        pthread_mutex_destroy(&signal->mutex);
        delete signal;
        semaphore.handle = nullptr;
    }
}
