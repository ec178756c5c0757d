# Cross toolchain: 64-bit Windows executables built on Linux with mingw-w64
# (posix threads). The build every test runs under Wine.
set(QEL_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/toolchain-mingw-common.cmake)
