// The OS wrapper: self-resetting events, the monotonic wait, recursive
// mutexes, detached tasks, directories in the sandbox and the exported names.
#include "tuner/osw.h"

#include "sandbox.h"

#include <dlfcn.h>
#include <iterator>

namespace {

// Whether a thread of this process is blocked (state S in its stat line).
bool sleeping(pid_t thread) {
    std::ifstream in("/proc/self/task/" + std::to_string(thread) + "/stat");
    const std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t name_end = stat.rfind(')');
    return name_end != std::string::npos && stat.compare(name_end + 2, 1, "S") == 0;
}

TEST(OswEvent, SetsAreConsumedByOneWaitClearedByAClearAndEndWaitsOfOtherThreads) {
    OSW_Event event;
    ASSERT_EQ(OSW_EventCreate(&event), 0u);
    // A wait that another thread ends with a set once the waiter sleeps in it.
    const auto wait_for_set_from_another_thread = [&event](uint32_t timeout_ms) {
        std::thread setter([&event, waiter = gettid()] {
            while (!sleeping(waiter))
                OSW_TaskSleep(1);
            OSW_EventSet(&event);
        });
        const uint32_t result = OSW_EventWait(&event, timeout_ms);
        setter.join();
        return result;
    };
    EXPECT_EQ(OSW_EventWait(&event, 0), 1u); // timeout 0 on a clear event
    OSW_EventSet(&event);
    OSW_EventSet(&event); // several sets count as one
    EXPECT_EQ(OSW_EventWait(&event, 60000), 0u);
    EXPECT_EQ(OSW_EventWait(&event, 0), 1u);
    OSW_EventSet(&event);
    EXPECT_EQ(OSW_EventClear(&event), 0u);
    EXPECT_EQ(OSW_EventWait(&event, 20), 1u);
    EXPECT_EQ(wait_for_set_from_another_thread(60000), 0u);
    capture_stdout([&] { EXPECT_EQ(wait_for_set_from_another_thread(0xFFFFFFFF), 0u); });
    OSW_EventSet(&event);
    capture_stdout([&] { EXPECT_EQ(OSW_EventWait(&event, 0xFFFFFFFF), 0u); });
    EXPECT_EQ(OSW_EventDelete(&event), 0u);
}

TEST(OswDeadline, MillisecondsCarryIntoTheSeconds) {
    for (const auto& [now, ms, want] :
         {std::tuple{timespec{100, 999999000}, 999u, timespec{101, 998999000}},
          {{100, 0}, 2500u, {102, 500000000}},
          {{5, 1000000}, 999u, {6, 0}}}) {
        const timespec got = osw_wait_deadline(now, ms);
        EXPECT_EQ(std::pair(got.tv_sec, got.tv_nsec), std::pair(want.tv_sec, want.tv_nsec)) << ms;
    }
}

TEST(OswMutex, IsRecursiveAndNullObjectsAreRefused) {
    OSW_Mutex mutex;
    ASSERT_EQ(OSW_MutexCreate(&mutex), 0u);
    for (auto* op : {OSW_MutexGet, OSW_MutexGet, OSW_MutexPut, OSW_MutexPut, OSW_MutexDelete})
        EXPECT_EQ(op(&mutex), 0u);
    EXPECT_EQ(OSW_EventCreate(nullptr), 1u);
}

struct TaskReport {
    OSW_Event done;
    pthread_attr_t attr;
};

void report_task(void* arg) {
    auto* report = static_cast<TaskReport*>(arg);
    pthread_getattr_np(pthread_self(), &report->attr);
    OSW_EventSet(&report->done);
}

// Sanitizers may add room to a thread's stack, hence at least. A size below the
// platform's minimum still gives a task; 16 MiB is above the usual default.
TEST(OswTask, RunsDetachedWithTheGivenStackSize) {
    for (const uint32_t size : {4096u, 16u << 20}) {
        TaskReport report{};
        OSW_EventCreate(&report.done);
        ASSERT_NE(OSW_TaskCreate("test", 0, size, report_task, &report), 0u);
        ASSERT_EQ(OSW_EventWait(&report.done, 60000), 0u);
        size_t stack_size = 0;
        int detach_state = 0;
        pthread_attr_getstacksize(&report.attr, &stack_size);
        pthread_attr_getdetachstate(&report.attr, &detach_state);
        pthread_attr_destroy(&report.attr);
        OSW_EventDelete(&report.done);
        EXPECT_GE(stack_size, std::max(size_t(size), size_t(PTHREAD_STACK_MIN))) << size;
        EXPECT_EQ(detach_state, PTHREAD_CREATE_DETACHED);
    }
}

// Open, write and close in the sandbox: the simulated tuner's log (TunerControlTest).
TEST_F(SandboxTest, OswDirectoriesAndDeletesInTheSandbox) {
    const char* path = "/var/kelvatro/sms/state.bin";
    EXPECT_EQ(OSW_FS_Mkdir("/var/kelvatro/sms"), 0);
    EXPECT_EQ(OSW_FS_Mkdir("/var/kelvatro/sms"), -1);
    sandbox.write(path, "");
    EXPECT_EQ(OSW_FS_Delete(path), 0);
    EXPECT_EQ(OSW_FS_Delete(path), 2);
}

// The library binds to these names in the executable that loads it.
TEST(OswExports, AllTwentyOneStandInTheDynamicSymbolTable) {
    std::istringstream names("GetCurTimeStampInMSec MemAlloc MemFree TaskSleep MutexCreate "
                             "MutexDelete MutexGet MutexPut TaskCreate TaskCleanup EventCreate "
                             "EventDelete EventSet EventClear EventWait FS_Open FS_Close FS_Write "
                             "FS_Read FS_Delete FS_Mkdir");
    int found = 0;
    for (std::string name; names >> name;)
        found += dlsym(RTLD_DEFAULT, ("OSW_" + name).c_str()) != nullptr;
    EXPECT_EQ(found, 21);
}

} // namespace
