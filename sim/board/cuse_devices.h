// The board's character devices served from user space through the kernel's
// CUSE: /dev/spidev0.1 and /dev/kelvatro_hwreg0.
#pragma once

// Makes both devices and serves each on a thread of its own until the process
// ends; 0, or -1 when a device could not be made (the cause on standard error).
int board_devices_start();
