# Cross toolchain: 32-bit Windows executables (i686) built on Linux with
# mingw-w64 (posix threads). The program that ships runs as a 32-bit process
# on 64-bit Windows; this machine cannot run it (see README, "Release builds").
set(QEL_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
