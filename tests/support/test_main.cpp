// Test entry: the unit lives in Japan time, whatever the machine's zone, and
// runs its file and text commands in the sandbox's guarded shell. The NTP
// tests (ORV_TEST_OWN_NETWORK) run in a network namespace of their own, loopback
// up: their responder's 127.0.0.1:123 meets no other program, nor a second suite.
#include "guarded_shell.h"
#include "os/clock.h"
#include "sandbox.h"

#include <cstdio>
#include <ctime>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#ifdef ORV_TEST_OWN_NETWORK
namespace {

void enter_own_network() {
    if (unshare(CLONE_NEWNET) != 0) return std::perror("unshare: the host's network");
    ifreq lo{};
    std::strncpy(lo.ifr_name, "lo", IFNAMSIZ - 1);
    lo.ifr_flags = IFF_UP | IFF_LOOPBACK | IFF_RUNNING;
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (ioctl(fd, SIOCSIFFLAGS, &lo) != 0) std::perror("loopback up");
    close(fd);
}

} // namespace
#endif

int main(int argc, char** argv) {
    setenv("TZ", "Asia/Tokyo", 1);
    tzset();
    clock_floor_set(kTestsClockFloor);
    sandbox_guard_install();
#ifdef ORV_TEST_OWN_NETWORK
    enter_own_network();
#endif
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
