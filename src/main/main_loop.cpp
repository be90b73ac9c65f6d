// The main loop of a pass: the control FIFO and the NTP client's socket, read
// with select, and the tick, run on a grid of whole ticks of the monotonic clock.
#include "main/main_loop.h"

#include "log/status_log.h"
#include "main/command.h"
#include "main/current_state.h"
#include "main/lifecycle.h"
#include "main/net_probe.h"
#include "os/pace.h"
#include "os/unit_path.h"
#include "settings/system_file.h"
#include "sntp/ntp_client.h"
#include "timer/event_timer.h"
#include "tot/tot_step.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <mutex>
#include <sys/select.h>
#include <unistd.h>

namespace {

constexpr uint32_t kLinkDownBit = 0x00000001; // ErrorStatus1 entry 80
constexpr size_t kMessageSize = 512;

int64_t monotonic_us() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

// The deadline of the tick after one that has run: the next point of the grid
// of whole ticks that still lies ahead, so that a tick running over skips the
// ticks it overran and never brings a burst of them.
int64_t next_deadline(int64_t deadline, int64_t now, int64_t tick) {
    deadline += tick;
    if (now >= deadline) deadline += ((now - deadline) / tick + 1) * tick;
    return deadline;
}

timeval timeout_until(int64_t deadline, int64_t now) {
    const int64_t left = std::max<int64_t>(0, deadline - now);
    return timeval{static_cast<time_t>(left / 1000000), static_cast<suseconds_t>(left % 1000000)};
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

    const int64_t tick = pace_tick_us();
    LogPrint(LOG_TO_BOTH, 6, "Main Program Ready\n");
    main_flags.running = 1;
    // Ticks fall on a grid of whole ticks of the monotonic clock, which no
    // setting of the system clock moves; a message between ticks leaves it be.
    int64_t deadline = monotonic_us() + tick;

    int result = 0;
    while (main_flags.running) {
        const int64_t now = monotonic_us();
        if (now >= deadline) {
            main_tick();
            deadline = next_deadline(deadline, monotonic_us(), tick);
            result = 0;
            continue;
        }
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(fd, &readable);
        const int ntp = ntp_client_socket();
        if (ntp >= 0) FD_SET(ntp, &readable);
        timeval timeout = timeout_until(deadline, now);
        const int ready = select(std::max(fd, ntp) + 1, &readable, nullptr, nullptr, &timeout);
        if (ready < 0) {
            perror("<Error> main_loop() : select() error");
            result = ready;
            break;
        }
        if (ntp >= 0 && FD_ISSET(ntp, &readable)) ntp_client_receive();
        if (FD_ISSET(fd, &readable)) result = read_message(fd, result);
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
