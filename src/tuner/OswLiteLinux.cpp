/* The OS wrapper of the tuner-control library: POSIX threads, mutexes and
 * condition variables, malloc and stdio behind the vendor's OSW_ names. The
 * objects live in memory that the caller owns; nothing is kept here.
 *
 * Event waits run on the monotonic clock: this program steps the wall clock
 * when it takes broadcast time, and a deadline on the wall clock would stretch
 * by every backward step, stalling the library's threads. */
#include "tuner/osw.h"

#include "os/unit_path.h"

#include <cassert>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

constexpr uint32_t kThreadError = 1000;
constexpr uint32_t kSignalError = 2000;
constexpr uint32_t kWaitForever = 0xFFFFFFFF;
// Directories that the library makes: searchable and writable by all (less the umask).
constexpr mode_t kLibraryDirMode = 0777;

uint32_t thread_result(int error) {
    return error == 0 ? 0 : uint32_t(error) | kThreadError;
}

struct TaskStart {
    OSW_TaskEntry entry;
    void* arg;
};

// The stack size of a new task: a request below the platform's minimum (the
// library may ask for 0 or a few KiB) is raised to it, so that the task is
// still created.
size_t task_stack_size(uint32_t requested) {
    const long minimum = sysconf(_SC_THREAD_STACK_MIN);
    const size_t floor = minimum > 0 ? size_t(minimum) : size_t(PTHREAD_STACK_MIN);
    return requested < floor ? floor : size_t(requested);
}

void* task_trampoline(void* start_block) {
    const TaskStart start = *static_cast<TaskStart*>(start_block);
    std::free(start_block);
    start.entry(start.arg);
    return nullptr;
}

// With the event mutex held and the flag clear.
int wait_forever(OSW_Event* event) {
    std::printf("Wait1 ");
    std::fflush(stdout);
    while (!event->signalled)
        pthread_cond_wait(&event->cond, &event->mutex);
    return 0;
}

// With the event mutex held and the flag clear: 0 once the flag is set, else
// the error of the timed wait (ETIMEDOUT when the deadline passed).
int wait_until(OSW_Event* event, uint32_t timeout_ms) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    const timespec deadline = osw_wait_deadline(now, timeout_ms);
    while (!event->signalled) {
        const int error = pthread_cond_timedwait(&event->cond, &event->mutex, &deadline);
        if (error != 0) return event->signalled ? 0 : error;
    }
    return 0;
}

} // namespace

timespec osw_wait_deadline(const timespec& now, uint32_t timeout_ms) {
    timespec deadline;
    deadline.tv_sec = now.tv_sec + time_t(timeout_ms / 1000);
    deadline.tv_nsec = now.tv_nsec + long(timeout_ms % 1000) * 1000000;
    if (deadline.tv_nsec > 999999999) {
        deadline.tv_nsec -= 1000000000;
        deadline.tv_sec += 1;
    }
    return deadline;
}

uint32_t OSW_GetCurTimeStampInMSec(void) {
    timeval now;
    gettimeofday(&now, nullptr);
    return uint32_t(uint64_t(now.tv_sec) * 1000 + uint64_t(now.tv_usec) / 1000);
}

void* OSW_MemAlloc(uint32_t size) {
    return std::malloc(size);
}

void OSW_MemFree(void* p) {
    std::free(p);
}

int OSW_TaskSleep(uint32_t ms) {
    const timespec duration{time_t(ms / 1000), long(ms % 1000) * 1000000};
    return nanosleep(&duration, nullptr);
}

uint32_t OSW_MutexCreate(OSW_Mutex* mutex) {
    assert(mutex);
    pthread_mutexattr_t attr;
    int error = pthread_mutexattr_init(&attr);
    if (error == 0) error = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    if (error == 0) error = pthread_mutex_init(mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    return thread_result(error);
}

uint32_t OSW_MutexDelete(OSW_Mutex* mutex) {
    assert(mutex);
    return thread_result(pthread_mutex_destroy(mutex));
}

uint32_t OSW_MutexGet(OSW_Mutex* mutex) {
    assert(mutex);
    return thread_result(pthread_mutex_lock(mutex));
}

uint32_t OSW_MutexPut(OSW_Mutex* mutex) {
    assert(mutex);
    return thread_result(pthread_mutex_unlock(mutex));
}

uintptr_t OSW_TaskCreate(const char* /*name*/, uint32_t /*priority*/, uint32_t stack_size,
                         OSW_TaskEntry entry, void* arg) {
    auto* start = static_cast<TaskStart*>(std::malloc(sizeof(TaskStart)));
    if (!start) return 0;
    *start = TaskStart{entry, arg};
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) {
        std::free(start);
        return 0;
    }
    pthread_t thread;
    int error = pthread_attr_setstacksize(&attr, task_stack_size(stack_size));
    if (error == 0) error = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    if (error == 0) error = pthread_create(&thread, &attr, task_trampoline, start);
    pthread_attr_destroy(&attr);
    if (error != 0) {
        std::free(start);
        return 0;
    }
    return uintptr_t(thread);
}

uint32_t OSW_TaskCleanup(uint32_t value) {
    return value;
}

uint32_t OSW_EventCreate(OSW_Event* event) {
    if (!event) return 1;
    pthread_condattr_t attr;
    int error = pthread_condattr_init(&attr);
    if (error == 0) error = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    if (error == 0) error = pthread_cond_init(&event->cond, &attr);
    pthread_condattr_destroy(&attr);
    if (error != 0) return thread_result(error);
    error = pthread_mutex_init(&event->mutex, nullptr);
    if (error != 0) {
        pthread_cond_destroy(&event->cond);
        return thread_result(error);
    }
    event->signalled = 0;
    return 0;
}

uint32_t OSW_EventDelete(OSW_Event* event) {
    if (!event) return 1;
    const int mutex_error = pthread_mutex_destroy(&event->mutex);
    const int cond_error = pthread_cond_destroy(&event->cond);
    return thread_result(mutex_error != 0 ? mutex_error : cond_error);
}

uint32_t OSW_EventSet(OSW_Event* event) {
    int error = pthread_mutex_lock(&event->mutex);
    if (error != 0) return thread_result(error);
    event->signalled = 1;
    error = pthread_cond_signal(&event->cond);
    if (error != 0) {
        pthread_mutex_unlock(&event->mutex);
        return uint32_t(error) | kSignalError;
    }
    return thread_result(pthread_mutex_unlock(&event->mutex));
}

uint32_t OSW_EventClear(OSW_Event* event) {
    int error = pthread_mutex_lock(&event->mutex);
    if (error != 0) return thread_result(error);
    event->signalled = 0;
    return thread_result(pthread_mutex_unlock(&event->mutex));
}

uint32_t OSW_EventWait(OSW_Event* event, uint32_t timeout_ms) {
    pthread_mutex_lock(&event->mutex);
    int error = 0;
    if (!event->signalled)
        error = timeout_ms == kWaitForever ? wait_forever(event) : wait_until(event, timeout_ms);
    if (error == 0) event->signalled = 0;
    pthread_mutex_unlock(&event->mutex);
    return error == ETIMEDOUT ? 1 : uint32_t(error);
}

void* OSW_FS_Open(const char* path, const char* mode) {
    return unit_fopen(path, mode);
}

int OSW_FS_Close(void* stream) {
    return std::fclose(static_cast<FILE*>(stream));
}

uint32_t OSW_FS_Write(void* stream, const void* buf, uint32_t count) {
    return uint32_t(std::fwrite(buf, 1, count, static_cast<FILE*>(stream)));
}

uint32_t OSW_FS_Read(void* stream, void* buf, uint32_t count) {
    return uint32_t(std::fread(buf, 1, count, static_cast<FILE*>(stream)));
}

int OSW_FS_Delete(const char* path) {
    return unit_remove(path) == 0 ? 0 : 2;
}

int OSW_FS_Mkdir(const char* path) {
    return unit_mkdir(path, kLibraryDirMode);
}
