# The 64-bit mingw-w64 cross compilers with the posix threading model, whose
# C++ run-time has std::thread and std::mutex: the Wine test bench (the test
# driver's server, kv30sim.exe, their tests) needs them. Debian names these
# compilers with a -posix suffix.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(VELKOR_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64-common.cmake)
set(CMAKE_C_COMPILER ${VELKOR_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VELKOR_MINGW_TRIPLE}-g++-posix)
