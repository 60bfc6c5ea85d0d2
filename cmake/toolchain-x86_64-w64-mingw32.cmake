# 64-bit Windows console program from the same sources, for running under
# 64-bit Wine.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VELKOR_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
