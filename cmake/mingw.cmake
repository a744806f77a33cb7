# The mingw-w64 cross toolchain for one processor, LUMICLIP_MINGW (i686 or
# x86_64), included by the toolchain files beside it. The posix thread model
# is needed: std::mutex in the win32 thread model does not work here.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${LUMICLIP_MINGW})
set(CMAKE_C_COMPILER ${LUMICLIP_MINGW}-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER ${LUMICLIP_MINGW}-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER ${LUMICLIP_MINGW}-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${LUMICLIP_MINGW}-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
