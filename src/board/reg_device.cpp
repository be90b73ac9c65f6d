// The register device seam: which device operations the register access uses.
// By default the kernel driver's character device, opened on its unit path.
#include "board/reg_device.h"

#include "os/unit_path.h"

#include <atomic>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

int device_open(const char* path) {
    return unit_open(path, O_RDWR);
}

int device_ioctl(int fd, unsigned long request, uint32_t* address) {
    return ::ioctl(fd, request, address);
}

constexpr RegDeviceOps kCharacterDevice{device_open, ::close, device_ioctl, ::read, ::write};

std::atomic<const RegDeviceOps*> current_ops{&kCharacterDevice};

} // namespace

void reg_device_set_ops(const RegDeviceOps* ops) {
    current_ops = ops ? ops : &kCharacterDevice;
}

const RegDeviceOps& reg_device_ops() {
    return *current_ops.load();
}
