# 64-bit Raspberry Pi OS / Debian arm64: cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm64.cmake
set(ORV_CROSS_TRIPLET aarch64-linux-gnu)
set(ORV_CROSS_PROCESSOR aarch64)
set(ORV_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross-debian.cmake)
