// The OS wrapper: self-resetting events, the monotonic wait, recursive
// mutexes, detached tasks, files in the sandbox and the exported names.
#include "tuner/osw.h"

#include "sandbox.h"

#include <atomic>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <thread>

namespace {

struct EventTest : ::testing::Test {
    OSW_Event event;
    void SetUp() override { ASSERT_EQ(OSW_EventCreate(&event), 0u); }
    void TearDown() override { EXPECT_EQ(OSW_EventDelete(&event), 0u); }

    // A wait that another thread ends with a set once the wait has begun.
    uint32_t wait_for_set_from_another_thread(uint32_t timeout_ms) {
        std::atomic<bool> waiting = false;
        std::thread setter([this, &waiting] {
            while (!waiting)
                std::this_thread::yield();
            OSW_TaskSleep(100);
            OSW_EventSet(&event);
        });
        waiting = true;
        const uint32_t result = OSW_EventWait(&event, timeout_ms);
        setter.join();
        return result;
    }
};

TEST_F(EventTest, SetsAreConsumedByOneWaitAndClearedByAClear) {
    EXPECT_EQ(OSW_EventWait(&event, 0), 1u); // timeout 0 on a clear event
    OSW_EventSet(&event);
    OSW_EventSet(&event); // several sets count as one
    EXPECT_EQ(OSW_EventWait(&event, 60000), 0u);
    EXPECT_EQ(OSW_EventWait(&event, 0), 1u);
    OSW_EventSet(&event);
    EXPECT_EQ(OSW_EventClear(&event), 0u);
    EXPECT_EQ(OSW_EventWait(&event, 20), 1u);
}

TEST_F(EventTest, WaitsEndWithASetFromAnotherThread) {
    EXPECT_EQ(wait_for_set_from_another_thread(60000), 0u);
    std::string out =
        capture_stdout([&] { EXPECT_EQ(wait_for_set_from_another_thread(0xFFFFFFFF), 0u); });
    EXPECT_EQ(out, "Wait1 ");
    EXPECT_EQ(event.signalled, 0u);
    OSW_EventSet(&event);
    out = capture_stdout([&] { EXPECT_EQ(OSW_EventWait(&event, 0xFFFFFFFF), 0u); });
    EXPECT_EQ(out, ""); // a set event is taken without the endless wait
}

TEST(OswDeadline, MillisecondsCarryIntoTheSeconds) {
    const struct {
        timespec now;
        uint32_t timeout_ms;
        timespec deadline;
    } cases[] = {
        {{100, 999999000}, 999, {101, 998999000}}, // 999 ms at a microsecond value of 999999
        {{100, 0}, 2500, {102, 500000000}},
        {{7, 999999999}, 0, {7, 999999999}},
    };
    for (const auto& c : cases) {
        const timespec got = osw_wait_deadline(c.now, c.timeout_ms);
        EXPECT_EQ(got.tv_sec, c.deadline.tv_sec) << c.timeout_ms;
        EXPECT_EQ(got.tv_nsec, c.deadline.tv_nsec) << c.timeout_ms;
    }
}

// The condition runs on the monotonic clock and the deadline is taken from it:
// with the condition on the wall clock the monotonic deadline would lie decades
// back and the wait would end at once, so that steps of the wall clock, which
// this program makes itself, can neither stretch nor cut a wait.
TEST_F(EventTest, TimedWaitRunsOnTheMonotonicClock) {
    timespec start;
    timespec end;
    clock_gettime(CLOCK_MONOTONIC, &start);
    EXPECT_EQ(OSW_EventWait(&event, 200), 1u);
    clock_gettime(CLOCK_MONOTONIC, &end);
    EXPECT_GE((end.tv_sec - start.tv_sec) * 1000 + (end.tv_nsec - start.tv_nsec) / 1000000, 200);
}

TEST(OswMutex, IsRecursiveAndNullObjectsAreRefused) {
    OSW_Mutex mutex;
    ASSERT_EQ(OSW_MutexCreate(&mutex), 0u);
    EXPECT_EQ(OSW_MutexGet(&mutex), 0u);
    EXPECT_EQ(OSW_MutexGet(&mutex), 0u);
    EXPECT_EQ(OSW_MutexPut(&mutex), 0u);
    EXPECT_EQ(OSW_MutexPut(&mutex), 0u);
    EXPECT_EQ(OSW_MutexDelete(&mutex), 0u);
    EXPECT_EQ(OSW_EventCreate(nullptr), 1u);
    EXPECT_EQ(OSW_EventDelete(nullptr), 1u);
}

TEST(OswMutexDeathTest, NullMutexStopsTheProcessNamingIt) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(OSW_MutexGet(nullptr), "OswLiteLinux.*OSW_MutexGet.*Assertion `mutex' failed");
    EXPECT_DEATH(OSW_MutexCreate(nullptr), "OSW_MutexCreate");
}

struct TaskReport {
    OSW_Event done;
    pthread_t self;
    size_t stack_size;
    int detach_state;
};

void report_task(void* arg) {
    auto* report = static_cast<TaskReport*>(arg);
    pthread_attr_t attr;
    pthread_getattr_np(pthread_self(), &attr);
    pthread_attr_getstacksize(&attr, &report->stack_size);
    pthread_attr_getdetachstate(&attr, &report->detach_state);
    pthread_attr_destroy(&attr);
    report->self = pthread_self();
    OSW_EventSet(&report->done);
}

TaskReport run_task(uint32_t stack_size) {
    TaskReport report{};
    OSW_EventCreate(&report.done);
    const uintptr_t id = OSW_TaskCreate("test", 0, stack_size, report_task, &report);
    EXPECT_NE(id, 0u);
    if (id != 0) {
        EXPECT_EQ(OSW_EventWait(&report.done, 60000), 0u);
        EXPECT_EQ(id, uintptr_t(report.self));
    }
    OSW_EventDelete(&report.done);
    return report;
}

// Sanitizers may add room to a thread's stack, so the sizes are compared.
TEST(OswTask, RunsDetachedWithTheGivenStackSize) {
    const TaskReport small = run_task(512 * 1024);
    const TaskReport large = run_task(4 * 1024 * 1024);
    EXPECT_EQ(small.detach_state, PTHREAD_CREATE_DETACHED);
    EXPECT_GE(small.stack_size, 512u * 1024);
    EXPECT_LT(small.stack_size, large.stack_size);
    TaskReport unused{};
    EXPECT_EQ(OSW_TaskCreate("test", 0, 16, report_task, &unused), 0u); // below the minimum
}

TEST_F(SandboxTest, OswFilesLiveInTheSandbox) {
    const std::string content("abc\0def", 7);
    EXPECT_EQ(OSW_FS_Mkdir("/var/kelvatro/sms"), 0);
    EXPECT_EQ(OSW_FS_Mkdir("/var/kelvatro/sms"), -1);
    void* out = OSW_FS_Open("/var/kelvatro/sms/state.bin", "wb");
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(OSW_FS_Write(out, content.data(), 7), 7u);
    EXPECT_EQ(OSW_FS_Close(out), 0);
    EXPECT_EQ(sandbox.read("/var/kelvatro/sms/state.bin"), content);

    void* in = OSW_FS_Open("/var/kelvatro/sms/state.bin", "rb");
    ASSERT_NE(in, nullptr);
    char buf[16] = {};
    EXPECT_EQ(OSW_FS_Read(in, buf, sizeof buf), 7u);
    EXPECT_EQ(std::string(buf, 7), content);
    OSW_FS_Close(in);

    EXPECT_EQ(OSW_FS_Delete("/var/kelvatro/sms/state.bin"), 0);
    EXPECT_EQ(OSW_FS_Delete("/var/kelvatro/sms/state.bin"), 2);
    EXPECT_EQ(OSW_FS_Open("/var/kelvatro/sms/state.bin", "rb"), nullptr);
}

// The library binds to these names in the executable that loads it.
TEST(OswExports, AllTwentyOneStandInTheDynamicSymbolTable) {
    for (const char* name : {"OSW_GetCurTimeStampInMSec",
                             "OSW_MemAlloc",
                             "OSW_MemFree",
                             "OSW_TaskSleep",
                             "OSW_MutexCreate",
                             "OSW_MutexDelete",
                             "OSW_MutexGet",
                             "OSW_MutexPut",
                             "OSW_TaskCreate",
                             "OSW_TaskCleanup",
                             "OSW_EventCreate",
                             "OSW_EventDelete",
                             "OSW_EventSet",
                             "OSW_EventClear",
                             "OSW_EventWait",
                             "OSW_FS_Open",
                             "OSW_FS_Close",
                             "OSW_FS_Write",
                             "OSW_FS_Read",
                             "OSW_FS_Delete",
                             "OSW_FS_Mkdir"})
        EXPECT_NE(dlsym(RTLD_DEFAULT, name), nullptr) << name;
}

} // namespace
