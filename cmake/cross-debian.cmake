# Cross build with one of Debian's cross toolchains (crossbuild-essential-ARCH)
# against the multiarch development packages of that architecture (libgtest-dev:ARCH,
# libgmock-dev:ARCH, libbcm2835-dev:ARCH, libsystemd-dev:ARCH). Programs built for the target run under
# qemu-user on the target's runtime from the multiarch packages (libstdc++6:ARCH):
# with the cross toolchain's own copy (-L /usr/TRIPLET) as their root, a child
# forked by an armhf program dies before it can exec under qemu-arm 7.2.
# Set ORV_CROSS_TRIPLET, ORV_CROSS_PROCESSOR and ORV_CROSS_QEMU before including.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${ORV_CROSS_PROCESSOR})
set(CMAKE_C_COMPILER ${ORV_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${ORV_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${ORV_CROSS_TRIPLET})
set(CMAKE_CROSSCOMPILING_EMULATOR ${ORV_CROSS_QEMU} -L /)
# Build tools come from the host; libraries and headers from the multiarch tree.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
