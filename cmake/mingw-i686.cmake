# Cross-compiles for 32-bit Windows with mingw-w64. The -posix compilers: their thread model
# gives std::thread and std::mutex (the default win32 one has neither).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(QN_MINGW_TRIPLE i686-w64-mingw32 CACHE STRING "mingw-w64 target triple")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
