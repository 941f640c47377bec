# 64-bit ARM (Debian's arm64).
set(TACITOR_CROSS_TRIPLET aarch64-linux-gnu)
set(TACITOR_CROSS_PROCESSOR aarch64)
set(TACITOR_CROSS_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/cross-linux.cmake)
