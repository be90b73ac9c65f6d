// The main loop of a pass: the control FIFO, read with select, and the tick,
// run at whole-tick steps from the start of the tick before.
#include "main/main_loop.h"

#include "log/status_log.h"
#include "main/command.h"
#include "main/current_state.h"
#include "main/lifecycle.h"
#include "main/net_probe.h"
#include "os/pace.h"
#include "os/unit_path.h"
#include "settings/system_file.h"
#include "timer/event_timer.h"
#include "tot/tot_step.h"

#include <array>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <sys/select.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

constexpr uint32_t kLinkDownBit = 0x00000001; // ErrorStatus1 entry 80
constexpr size_t kMessageSize = 512;

timeval timeout_of(long microseconds) {
    return timeval{microseconds / 1000000, microseconds % 1000000};
}

long microseconds_between(const timeval& t0, const timeval& t1) {
    return (t1.tv_sec - t0.tv_sec) * 1000000L + (t1.tv_usec - t0.tv_usec);
}

// The tick, and the wait that makes the next tick start a whole number of
// ticks after this one started.
timeval tick_and_next_timeout() {
    const long tick = pace_tick_us();
    timeval t0{}, t1{};
    gettimeofday(&t0, nullptr);
    main_tick();
    gettimeofday(&t1, nullptr);
    long elapsed = microseconds_between(t0, t1) % tick;
    if (elapsed < 0) elapsed += tick;
    return timeout_of(tick - elapsed);
}

// One read of the FIFO as one message. A read that brings nothing is no
// message; the loop result then stays as it was.
int read_message(int fd, int result) {
    std::array<char, kMessageSize> message{};
    const ssize_t length = read(fd, message.data(), message.size() - 1);
    if (length <= 0) return result;
    message[static_cast<size_t>(length)] = '\0';
    return main_command(message.data());
}

int make_fifo(const char* path) {
    if (unit_access(path, F_OK) == 0) unit_unlink(path);
    if (unit_mkfifo(path, 0666) < 0) {
        perror("<Error> main_loop() : mkfifo() error");
        return -1;
    }
    unit_chmod(path, 0666);
    const int fd = unit_open(path, O_RDWR | O_NONBLOCK);
    if (fd < 0) {
        perror("<Error> main_loop() : open() error");
        return -2;
    }
    return fd;
}

} // namespace

int main_loop() {
    const int fd = make_fifo(kControlFifoPath);
    if (fd < 0) return fd;

    timeval timeout = timeout_of(pace_tick_us());
    LogPrint(LOG_TO_BOTH, 6, "Main Program Ready\n");
    main_flags.running = 1;

    int result = 0;
    while (main_flags.running) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(fd, &readable);
        const int ready = select(fd + 1, &readable, nullptr, nullptr, &timeout);
        if (ready < 0) {
            perror("<Error> main_loop() : select() error");
            result = ready;
            break;
        }
        if (ready == 0) {
            timeout = tick_and_next_timeout();
            result = 0;
        } else if (FD_ISSET(fd, &readable)) {
            result = read_message(fd, result);
        }
    }

    close(fd);
    if (unit_access(kControlFifoPath, F_OK) == 0) unit_unlink(kControlFifoPath);
    return result;
}

int main_tick() {
    GetLocalDateTime(current_state.NowDateTime);
    if (tot_function_enabled()) {
        std::lock_guard lock(tot_mutex);
        tot_step(tot_settings, tot_status);
    }
    if (link_check() == 0)
        current_state.ErrorStatus1[0] &= ~kLinkDownBit;
    else
        current_state.ErrorStatus1[0] |= kLinkDownBit;
    write_current_file(kCurrentFilePath, current_state);
    timer_due_check();
    return 0;
}
