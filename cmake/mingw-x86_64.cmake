# The 64-bit twin of the 32-bit build: the same sources, for running the tests under wine64.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(QN_MINGW_TRIPLE x86_64-w64-mingw32 CACHE STRING "mingw-w64 target triple")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
