# 32-bit ARM, hard-float ABI (Debian's armhf: ARMv7-A with VFPv3-D16, Thumb-2).
set(TACITOR_CROSS_TRIPLET arm-linux-gnueabihf)
set(TACITOR_CROSS_PROCESSOR arm)
set(TACITOR_CROSS_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
