// The board's character devices through the kernel's CUSE (libfuse3's
// cuse_lowlevel), each a session of its own: /dev/spidev0.1 with unrestricted
// ioctls, whose caller's memory the device asks for (the ioctl retry) as its
// answers name it, and /dev/kelvatro_hwreg0, the register device, whose one
// ioctl brings its 4-byte address by its own size and direction, with 4-byte
// reads and writes. Behind them: the simulated FPGA and register device.
#define FUSE_USE_VERSION 31
#include "cuse_devices.h"

#include "reg_device.h"
#include "spidev.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fuse3/cuse_lowlevel.h>
#include <sys/uio.h>
#include <thread>
#include <vector>

namespace {

const RegDeviceOps& board() {
    return *sim_reg_device_ops();
}

void register_open(fuse_req_t req, fuse_file_info* fi) {
    const int fd = board().open(kRegDevicePath);
    if (fd < 0) {
        fuse_reply_err(req, errno);
        return;
    }
    fi->fh = uint64_t(fd);
    fi->nonseekable = 1;
    fuse_reply_open(req, fi);
}

void register_release(fuse_req_t req, fuse_file_info* fi) {
    board().close(int(fi->fh));
    fuse_reply_err(req, 0);
}

void register_read(fuse_req_t req, size_t size, off_t, fuse_file_info* fi) {
    std::vector<char> data(size);
    const ssize_t count = board().read(int(fi->fh), data.data(), size);
    if (count < 0)
        fuse_reply_err(req, errno);
    else
        fuse_reply_buf(req, data.data(), size_t(count));
}

void register_write(fuse_req_t req, const char* data, size_t size, off_t, fuse_file_info* fi) {
    const ssize_t count = board().write(int(fi->fh), data, size);
    if (count < 0)
        fuse_reply_err(req, errno);
    else
        fuse_reply_write(req, size_t(count));
}

void register_ioctl(fuse_req_t req, int request, void*, fuse_file_info* fi, unsigned flags,
                    const void* in, size_t in_size, size_t out_size) {
    if (flags & FUSE_IOCTL_COMPAT) {
        fuse_reply_err(req, ENOSYS);
        return;
    }
    uint32_t address = 0;
    std::memcpy(&address, in, std::min(in_size, sizeof address));
    if (board().ioctl(int(fi->fh), unsigned(request), &address) < 0)
        fuse_reply_err(req, errno);
    else
        fuse_reply_ioctl(req, 0, &address, std::min(out_size, sizeof address));
}

void spidev_open(fuse_req_t req, fuse_file_info* fi) {
    fi->nonseekable = 1;
    fuse_reply_open(req, fi);
}

std::vector<iovec> vectors(const std::vector<UserMemory>& memory) {
    std::vector<iovec> out;
    for (const UserMemory& piece : memory)
        out.push_back({reinterpret_cast<void*>(uintptr_t(piece.address)), piece.length});
    return out;
}

void spidev_request(fuse_req_t req, int request, void* arg, fuse_file_info*, unsigned flags,
                    const void* in, size_t in_size, size_t out_size) {
    if (flags & FUSE_IOCTL_COMPAT) {
        fuse_reply_err(req, ENOSYS);
        return;
    }
    const SpidevAnswer answer = spidev_ioctl(unsigned(request), uint64_t(uintptr_t(arg)),
                                             {static_cast<const uint8_t*>(in), in_size}, out_size);
    if (answer.error != 0) {
        fuse_reply_err(req, answer.error);
    } else if (!answer.read.empty() || !answer.write.empty()) {
        const std::vector<iovec> read = vectors(answer.read), write = vectors(answer.write);
        fuse_reply_ioctl_retry(req, read.data(), read.size(), write.data(), write.size());
    } else {
        fuse_reply_ioctl(req, answer.result, answer.data.data(), answer.data.size());
    }
}

// A session whose device appears as /dev/<name> once the kernel has its answer
// to the session's first request.
fuse_session* device_session(const char* devname, unsigned flags, const cuse_lowlevel_ops& ops) {
    const char* info_lines[] = {devname};
    cuse_info info{};
    info.dev_info_argc = 1;
    info.dev_info_argv = info_lines;
    info.flags = flags;
    // In the foreground, each session served by one thread.
    char program[] = "orv-board", foreground[] = "-f", one_thread[] = "-s";
    char* argv[] = {program, foreground, one_thread, nullptr};
    int multithreaded = 0;
    fuse_session* session = cuse_lowlevel_setup(3, argv, &info, &ops, &multithreaded, nullptr);
    // Signals end the emulator, not one session.
    if (session) fuse_remove_signal_handlers(session);
    return session;
}

} // namespace

int board_devices_start() {
    cuse_lowlevel_ops spidev{};
    spidev.open = spidev_open;
    spidev.ioctl = spidev_request;
    cuse_lowlevel_ops registers{};
    registers.open = register_open;
    registers.read = register_read;
    registers.write = register_write;
    registers.release = register_release;
    registers.ioctl = register_ioctl;
    fuse_session* sessions[] = {
        device_session("DEVNAME=spidev0.1", CUSE_UNRESTRICTED_IOCTL, spidev),
        device_session("DEVNAME=kelvatro_hwreg0", 0, registers)};
    for (fuse_session* session : sessions)
        if (!session) return -1;
    for (fuse_session* session : sessions)
        std::thread([session] { fuse_session_loop(session); }).detach();
    return 0;
}
