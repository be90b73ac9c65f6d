// The main loop of a pass: the control FIFO, read with select and split into
// messages, the NTP client's socket, and the tick, run on a grid of whole ticks
// of the monotonic clock.
#include "main/main_loop.h"

#include "log/status_log.h"
#include "main/command.h"
#include "main/current_state.h"
#include "main/daemon_watch.h"
#include "main/fifo_framing.h"
#include "main/lifecycle.h"
#include "main/net_probe.h"
#include "main/unit_state.h"
#include "os/atomic_file.h"
#include "os/clock.h"
#include "os/file_access.h"
#include "os/pace.h"
#include "os/service_manager.h"
#include "os/unit_path.h"
#include "settings/system_file.h"
#include "sntp/ntp_client.h"
#include "timer/event_timer.h"
#include "tot/ntp_server.h"
#include "tot/tot_step.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <string>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint32_t kLinkDownBit = 0x00000001; // ErrorStatus1 entry 80
// One read takes at most what a writer writes at once into a pipe (PIPE_BUF), so
// a read that takes less than this ends with a whole write.
constexpr size_t kReadSize = 4096;
// An unfinished message that grows beyond this is taken as ended (and dropped
// as too long) without waiting for its end.
constexpr size_t kPendingLimit = 16 * kReadSize;
// How much of a dropped message its report shows.
constexpr int kShownLength = 60;

} // namespace

int64_t next_deadline(int64_t deadline, int64_t now, int64_t tick) {
    deadline += tick;
    if (now >= deadline) deadline += ((now - deadline) / tick + 1) * tick;
    return deadline;
}

namespace {

// The deadline kept off the wall clock's second boundaries (pace_mid_tick).
int64_t mid_second(int64_t deadline) {
    return pace_mid_tick(deadline, monotonic_us(), system_clock_ns() / 1000);
}

timeval timeout_until(int64_t deadline, int64_t now) {
    const int64_t left = std::max<int64_t>(0, deadline - now);
    return timeval{static_cast<time_t>(left / 1000000), static_cast<suseconds_t>(left % 1000000)};
}

// A run of messages dropped at the end of a pass, logged once; messages
// dropped as too long, which any writer can send at will, once a second.
LogRepeat dropped_at_end;
LogFlood dropped_too_long;

// The first line of a message, fit for a log line.
std::string shown(std::string_view message) {
    const size_t line_end = std::min(message.find_first_of("\r\n"), message.size());
    return LogEscaped(message.substr(0, line_end), kShownLength);
}

void report_dropped(std::string_view message) {
    LogRepeated(dropped_at_end, 3, "Control message dropped, the pass has ended: %s\n",
                shown(message).c_str());
}

// A burst of commands that end the pass (RESET written a thousand times) would
// hold the unit in restarts for hours: of those that waited when the pass
// ended, each command is taken once; its further copies are dropped with one
// line and their count. The other messages stay, in order.
void drop_repeated_pass_ends(std::string& text) {
    struct Copies {
        std::string_view first;
        unsigned long count = 0;
    };
    std::map<std::string_view, Copies> copies; // by command word
    std::string kept;
    for (const FifoMessage& message : split_fifo_messages(text, true).messages) {
        const std::string_view word = pass_ending_word(message.text);
        const auto [taken, first_time] = copies.try_emplace(word);
        if (word.empty() || first_time) {
            kept += message.text;
        } else if (taken->second.count++ == 0) {
            taken->second.first = message.text;
        }
    }
    for (const auto& [word, dropped] : copies)
        if (dropped.count > 0)
            LogPrint(LOG_TO_BOTH, 3, "Control message taken once, %lu more copies dropped: %s\n",
                     dropped.count, shown(dropped.first).c_str());
    text = kept;
}

// The control FIFO and the text read from it but not yet handled, kept from a
// pass that ends in a restart to the next one: commands written during the
// restart wait in the FIFO.
struct ControlFifo {
    int fd = -1;
    std::string pending;
};
ControlFifo control;

// Handles the whole messages of the text in order, and drops its handled part.
// Once a command has ended the pass, the messages after it are reported as
// dropped, or kept for the next pass when the pass restarts. Returns the result
// of the last command handled.
int handle_messages(std::string& text, bool complete, int result) {
    const FifoSplit split = split_fifo_messages(text, complete);
    size_t consumed = split.consumed;
    for (const FifoMessage& message : split.messages) {
        if (!main_flags.running && result > 0) {
            consumed = size_t(message.text.data() - text.data());
            break;
        }
        if (!main_flags.running)
            report_dropped(message.text);
        else if (message.too_long)
            LogLimited(dropped_too_long, 3,
                       "Control message of %zu bytes dropped: longer than %zu bytes\n",
                       message.text.size(), kMaxMessageSize);
        else
            result = main_command(std::string(message.text).c_str());
    }
    text.erase(0, consumed);
    return result;
}

// Reads what the FIFO holds until a read takes less than it asked for (the pipe
// is then empty and its text ends with a whole write) or the next tick is due,
// and handles every message: one read's messages at most stand between a due
// tick and its run, however fast writers fill the FIFO. `pending` keeps a
// message cut by a full read for the next read; `held` tells that it keeps a
// setup change still without its file name from a read that emptied the pipe,
// which the tick takes as it is when nothing followed.
int read_messages(int fd, std::string& pending, bool& held, int result, int64_t tick_due) {
    char chunk[kReadSize];
    bool drained = false;
    while (!drained && main_flags.running && monotonic_us() < tick_due) {
        const ssize_t length = read(fd, chunk, sizeof chunk);
        if (length > 0) pending.append(chunk, static_cast<size_t>(length));
        drained = length < static_cast<ssize_t>(sizeof chunk);
        held = drained && fifo_text_awaits_file_name(pending);
        result =
            handle_messages(pending, (drained && !held) || pending.size() > kPendingLimit, result);
    }
    return result;
}

// At the end of the pass: what the FIFO holds, as much as it holds at once
// however fast writers refill it.
void read_backlog(int fd, std::string& pending) {
    char chunk[kReadSize];
    for (ssize_t length;
         pending.size() < kPendingLimit && (length = read(fd, chunk, sizeof chunk)) > 0;)
        pending.append(chunk, static_cast<size_t>(length));
}

// At the end of the program, the backlog is reported as dropped.
void drop_unread_messages(int fd, std::string& pending) {
    read_backlog(fd, pending);
    for (const FifoMessage& message : split_fifo_messages(pending, true).messages)
        report_dropped(message.text);
    LogRepeatEnd(dropped_at_end);
}

// Anything but a FIFO in the FIFO's place (a directory, a file, a link) is
// moved aside, so that the pass goes on.
void clear_fifo_place(const char* path) {
    struct stat st {};
    if (lstat(unit_path(path).c_str(), &st) != 0) return;
    if (S_ISFIFO(st.st_mode)) {
        unit_unlink(path);
        return;
    }
    const std::string moved = move_aside(path);
    if (moved.empty())
        LogPrint(LOG_TO_BOTH, 3, "%s is no FIFO and cannot be moved aside: %s\n", path,
                 std::strerror(errno));
    else
        LogPrint(LOG_TO_BOTH, 3, "%s was no FIFO: moved to %s\n", path, moved.c_str());
}

// Every local user may write into the FIFO; only the unit reads it.
int make_fifo(const char* path) {
    clear_fifo_place(path);
    const FileAccess access = control_fifo_access();
    if (unit_mkfifo(path, access.mode) < 0) {
        perror("<Error> main_loop() : mkfifo() error");
        return -1;
    }
    if (access.group != kKeepGroup && chown(unit_path(path).c_str(), -1, access.group) != 0)
        perror("<Error> main_loop() : chown() error");
    unit_chmod(path, access.mode);
    const int fd = unit_open(path, O_RDWR | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        perror("<Error> main_loop() : open() error");
        return -2;
    }
    return fd;
}

// The FIFO kept from a restart, while it is still the one at its path (else
// closed, its text dropped, and a new one made).
int control_fifo() {
    struct stat kept {
    }, at_path{};
    if (control.fd >= 0 &&
        (fstat(control.fd, &kept) != 0 || unit_stat(kControlFifoPath, &at_path) != 0 ||
         kept.st_ino != at_path.st_ino || kept.st_dev != at_path.st_dev)) {
        close(control.fd);
        control = ControlFifo{};
    }
    if (control.fd < 0) control.fd = make_fifo(kControlFifoPath);
    return control.fd;
}

// Ends the pass as END does, without the power-off.
int end_on_signal() {
    LogPrint(LOG_TO_BOTH, 6, "SIG%s received\n", sigabbrev_np(end_signal_received()));
    LogPrint(LOG_TO_BOTH, 6, "Main Program End\n");
    main_flags.running = 0;
    return 0;
}

} // namespace

int main_loop() {
    const int fd = control_fifo();
    if (fd < 0) return fd;

    const int64_t tick = pace_tick_us();
    LogPrint(LOG_TO_BOTH, 6, "Main Program Ready\n");
    service_ready();
    main_flags.running = 1;
    // Ticks fall on a grid of whole ticks of the monotonic clock, which no
    // setting of the system clock moves; a message between ticks leaves it be.
    // The grid is kept in the middle of the wall clock's seconds, also after
    // the clock was stepped.
    int64_t deadline = mid_second(monotonic_us() + tick);

    int result = 0;
    std::string& pending = control.pending;
    bool held = false; // a setup change in pending waits for its file name
    if (!pending.empty()) {
        drop_repeated_pass_ends(pending);
        result = handle_messages(pending, true, result);
    }
    while (main_flags.running) {
        if (end_signal_received()) {
            result = end_on_signal();
            break;
        }
        const int64_t now = monotonic_us();
        if (now >= deadline) {
            if (held) {
                held = false;
                result = handle_messages(pending, true, result);
                if (!main_flags.running) break;
            }
            main_tick();
            deadline = mid_second(next_deadline(deadline, monotonic_us(), tick));
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
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) {
            perror("<Error> main_loop() : select() error");
            result = ready;
            break;
        }
        if (ntp >= 0 && FD_ISSET(ntp, &readable)) ntp_client_receive();
        if (FD_ISSET(fd, &readable)) result = read_messages(fd, pending, held, result, deadline);
    }

    // A restart keeps the FIFO, and what it holds, for the next pass.
    if (result > 0) {
        read_backlog(fd, pending);
        publish_unit_restarting();
        return result;
    }
    drop_unread_messages(fd, pending);
    pending.clear();
    close(fd);
    control.fd = -1;
    if (unit_access(kControlFifoPath, F_OK) == 0) unit_unlink(kControlFifoPath);
    return result;
}

int main_tick() {
    service_alive();
    GetLocalDateTime(current_state.NowDateTime);
    if (tot_function_enabled()) {
        std::lock_guard lock(tot_mutex);
        tot_step(tot_settings, tot_status);
        ntp_server_retry_stratum();
    }
    if (link_check() == 0)
        current_state.ErrorStatus1[0] &= ~kLinkDownBit;
    else
        current_state.ErrorStatus1[0] |= kLinkDownBit;
    write_current_file(kCurrentFilePath, current_state);
    daemon_watch_tick();
    publish_unit_state();
    timer_due_check();
    LogHeldFlush();
    return 0;
}
