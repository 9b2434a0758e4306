# Shared part of the toolchain files for Debian's cross compilers. The file
# that includes it sets KESTREL_CROSS_TRIPLET, KESTREL_CROSS_PROCESSOR and
# KESTREL_CROSS_QEMU. Target libraries are Debian's multiarch packages
# (libfoo-dev:ARCH) under /usr/lib/<triplet>; programs built for the target
# run under qemu-user.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${KESTREL_CROSS_PROCESSOR})
set(CMAKE_C_COMPILER ${KESTREL_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${KESTREL_CROSS_TRIPLET}-g++)
set(CMAKE_LIBRARY_ARCHITECTURE ${KESTREL_CROSS_TRIPLET})

# Libraries and package files are found in the multiarch directories of
# CMAKE_LIBRARY_ARCHITECTURE (/usr/lib/<triplet>), never in the host's; so
# are pkg-config's .pc files.
set(ENV{PKG_CONFIG_LIBDIR} "/usr/lib/${KESTREL_CROSS_TRIPLET}/pkgconfig:/usr/share/pkgconfig")
set(ENV{PKG_CONFIG_PATH} "")

# CTest, test discovery and the tests that start the program run target
# binaries through this. The programs load the target's multiarch C and C++
# libraries (libc6:ARCH, libstdc++6:ARCH) as on the board itself. No -L
# /usr/<triplet>: that would pair the cross compiler's older dynamic loader
# with the newer multiarch libc, and threads crash on the mismatch.
find_program(KESTREL_CROSS_QEMU_PATH ${KESTREL_CROSS_QEMU} REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${KESTREL_CROSS_QEMU_PATH})
