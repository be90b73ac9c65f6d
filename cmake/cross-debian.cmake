# Cross build with one of Debian's cross toolchains (crossbuild-essential-ARCH)
# against the multiarch development packages of that architecture (libgtest-dev:ARCH,
# libgmock-dev:ARCH, libbcm2835-dev:ARCH). Programs built for the target run under
# qemu-user, with the cross toolchain's libraries as their root for shared objects.
# Set ORV_CROSS_TRIPLET, ORV_CROSS_PROCESSOR and ORV_CROSS_QEMU before including.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${ORV_CROSS_PROCESSOR})
set(CMAKE_C_COMPILER ${ORV_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${ORV_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${ORV_CROSS_TRIPLET})
set(CMAKE_CROSSCOMPILING_EMULATOR ${ORV_CROSS_QEMU} -L /usr/${ORV_CROSS_TRIPLET})
# Build tools come from the host; libraries and headers from the multiarch tree.
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
