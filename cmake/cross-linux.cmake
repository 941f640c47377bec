# Shared part of the cross toolchains: TACITOR_CROSS_TRIPLET and TACITOR_CROSS_PROCESSOR are set
# by the file that includes this one. Debian's cross compilers keep the target's C library and
# headers under /usr/<triplet>; test binaries run there through qemu's user-mode emulator.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR ${TACITOR_CROSS_PROCESSOR})

set(CMAKE_C_COMPILER ${TACITOR_CROSS_TRIPLET}-gcc)
set(CMAKE_CXX_COMPILER ${TACITOR_CROSS_TRIPLET}-g++)

set(TACITOR_CROSS_SYSROOT /usr/${TACITOR_CROSS_TRIPLET})
set(CMAKE_FIND_ROOT_PATH ${TACITOR_CROSS_SYSROOT})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# CTest and GoogleTest's discovery at build time run every test binary through this.
find_program(TACITOR_QEMU ${TACITOR_CROSS_QEMU} REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${TACITOR_QEMU} -L ${TACITOR_CROSS_SYSROOT})
