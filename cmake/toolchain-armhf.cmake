# 32-bit ARM, hard float: Debian's g++-arm-linux-gnueabihf, run under qemu-arm.
# cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-armhf.cmake (make cross ARCH=armhf)
set(KESTREL_CROSS_TRIPLET arm-linux-gnueabihf)
set(KESTREL_CROSS_PROCESSOR arm)
set(KESTREL_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-debian-cross.cmake)
