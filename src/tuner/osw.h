/* The OS wrapper that the tuner-control library calls back: tasks, mutexes,
 * self-resetting events, memory and files. Exported with C linkage from the
 * executable; nothing in the unit calls it through a table. */
#pragma once

#include <pthread.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef pthread_mutex_t OSW_Mutex;

typedef struct {
    uint32_t signalled;
    pthread_cond_t cond;
    pthread_mutex_t mutex;
} OSW_Event;

typedef void (*OSW_TaskEntry)(void* arg);

uint32_t OSW_GetCurTimeStampInMSec(void);
void* OSW_MemAlloc(uint32_t size);
void OSW_MemFree(void* p);
int OSW_TaskSleep(uint32_t ms);
uint32_t OSW_MutexCreate(OSW_Mutex* mutex);
uint32_t OSW_MutexDelete(OSW_Mutex* mutex);
uint32_t OSW_MutexGet(OSW_Mutex* mutex);
uint32_t OSW_MutexPut(OSW_Mutex* mutex);
uintptr_t OSW_TaskCreate(const char* name, uint32_t priority, uint32_t stack_size,
                         OSW_TaskEntry entry, void* arg);
uint32_t OSW_TaskCleanup(uint32_t value);
uint32_t OSW_EventCreate(OSW_Event* event);
uint32_t OSW_EventDelete(OSW_Event* event);
uint32_t OSW_EventSet(OSW_Event* event);
uint32_t OSW_EventClear(OSW_Event* event);
uint32_t OSW_EventWait(OSW_Event* event, uint32_t timeout_ms);
void* OSW_FS_Open(const char* path, const char* mode);
int OSW_FS_Close(void* stream);
uint32_t OSW_FS_Write(void* stream, const void* buf, uint32_t count);
uint32_t OSW_FS_Read(void* stream, void* buf, uint32_t count);
int OSW_FS_Delete(const char* path);
int OSW_FS_Mkdir(const char* path);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#include <ctime>
/* The absolute deadline of a timed event wait: now plus the timeout, with the
 * nanoseconds carried into the seconds. */
timespec osw_wait_deadline(const timespec& now, uint32_t timeout_ms);
#endif
