# 32-bit Raspberry Pi OS / Debian armhf: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake
# (64-bit time and file offsets are set by the project for every 32-bit build.)
set(ORV_CROSS_TRIPLET arm-linux-gnueabihf)
set(ORV_CROSS_PROCESSOR arm)
set(ORV_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/cross-debian.cmake)
