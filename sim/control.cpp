// The sim control: the start file applied before the unit runs, and the FIFO
// $ORV_ROOT/sim/control (or control in the directory set) whose lines a reader
// thread applies to the sim world while the unit runs. A self-pipe wakes the
// reader when the simulator stops.
#include "control.h"

#include "os/unit_path.h"
#include "world.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

std::thread reader;
int fifo_fd = -1;
int wake_fds[2] = {-1, -1};
std::string control_dir;

std::string sim_file(const char* name) {
    return (control_dir.empty() ? sandbox_root() + "/sim" : control_dir) + "/" + name;
}

// Applies each complete line of the pending text; keeps an unfinished line.
void apply_lines(std::string& pending) {
    std::string::size_type end;
    while ((end = pending.find('\n')) != std::string::npos) {
        sim_world_apply(std::string_view(pending).substr(0, end));
        pending.erase(0, end + 1);
    }
}

void read_commands() {
    std::string pending;
    char buf[512];
    pollfd fds[2] = {{fifo_fd, POLLIN, 0}, {wake_fds[0], POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            std::perror("sim control: poll");
            return;
        }
        if (fds[1].revents) return;
        if (!(fds[0].revents & POLLIN)) continue;
        const ssize_t n = read(fifo_fd, buf, sizeof buf);
        if (n > 0) {
            pending.append(buf, size_t(n));
            apply_lines(pending);
        }
    }
}

void close_fd(int& fd) {
    if (fd >= 0) close(fd);
    fd = -1;
}

void close_all() {
    close_fd(fifo_fd);
    close_fd(wake_fds[0]);
    close_fd(wake_fds[1]);
}

} // namespace

void sim_control_set_dir(std::string dir) {
    control_dir = std::move(dir);
}

void sim_apply_start_file() {
    sim_world_apply_file(sim_file("start"));
}

int sim_control_start() {
    const std::string path = sim_file("control");
    unlink(path.c_str());
    if (mkfifo(path.c_str(), 0666) != 0 || chmod(path.c_str(), 0666) != 0) {
        std::perror("sim control: mkfifo");
        return -1;
    }
    // Holding a writing end ourselves: the FIFO never reports end-of-file when a
    // writer closes, and opening it never waits for a partner.
    fifo_fd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fifo_fd < 0 || pipe2(wake_fds, O_CLOEXEC) != 0) {
        std::perror("sim control: open");
        close_all();
        unlink(path.c_str());
        return -1;
    }
    reader = std::thread(read_commands);
    return 0;
}

void sim_control_stop() {
    if (reader.joinable()) {
        const char wake = 1;
        if (write(wake_fds[1], &wake, 1) != 1) std::perror("sim control: wake");
        reader.join();
    }
    if (fifo_fd >= 0) unlink(sim_file("control").c_str());
    close_all();
}
