# 64-bit ARM: Debian's g++-aarch64-linux-gnu, run under qemu-aarch64.
# cmake -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-arm64.cmake (make cross ARCH=arm64)
set(KESTREL_CROSS_TRIPLET aarch64-linux-gnu)
set(KESTREL_CROSS_PROCESSOR aarch64)
set(KESTREL_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-debian-cross.cmake)
