# Shared part of the mingw-w64 cross toolchains. The including file sets
# VELKOR_MINGW_TRIPLE (i686-w64-mingw32 or x86_64-w64-mingw32) first.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_VERSION 6.1)

# Debian installs the compilers under the triple's name; the alternatives
# system points that name at the win32 threading variant by default.
set(CMAKE_C_COMPILER ${VELKOR_MINGW_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${VELKOR_MINGW_TRIPLE}-g++)
set(CMAKE_RC_COMPILER ${VELKOR_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${VELKOR_MINGW_TRIPLE}-ar CACHE FILEPATH "Archiver")
set(CMAKE_RANLIB ${VELKOR_MINGW_TRIPLE}-ranlib CACHE FILEPATH "Ranlib")
set(CMAKE_OBJDUMP ${VELKOR_MINGW_TRIPLE}-objdump CACHE FILEPATH "Objdump")

# Headers and libraries come from the cross sysroot only; programs from the
# build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${VELKOR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
