# The same sources as 64-bit Windows programs, for machines whose kernel runs
# no 32-bit x86 code (there 32-bit wine cannot start). The product stays the
# 32-bit build; this one only lets every suite run. Debian's `wine` command
# always takes the 32-bit loader when wine32 is installed, so the tests are
# run by wine64 itself.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER x86_64-w64-mingw32-gcc-posix)
set(CMAKE_CXX_COMPILER x86_64-w64-mingw32-g++-posix)
set(CMAKE_RC_COMPILER x86_64-w64-mingw32-windres)
set(CMAKE_FIND_ROOT_PATH /usr/x86_64-w64-mingw32)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
# Debian installs the loader outside PATH.
find_program(LUMICLIP_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(NOT LUMICLIP_WINE64)
  set(LUMICLIP_WINE64 /usr/lib/wine/wine64)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${LUMICLIP_WINE64})
