# 32-bit Windows console program (the shipped velkor.exe), built with Debian's
# mingw-w64 cross compiler.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(VELKOR_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
