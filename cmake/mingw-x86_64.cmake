# The same sources as 64-bit Windows programs, for machines whose kernel runs
# no 32-bit x86 code (there 32-bit wine cannot start). The product stays the
# 32-bit build; this one lets every suite run there.
set(LUMICLIP_MINGW x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
# Debian's `wine` command always takes the 32-bit loader when wine32 is
# installed, so the tests are run by wine64 itself, which Debian installs
# outside PATH.
find_program(LUMICLIP_WINE64 NAMES wine64 PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(NOT LUMICLIP_WINE64)
  set(LUMICLIP_WINE64 /usr/lib/wine/wine64)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR ${LUMICLIP_WINE64})
