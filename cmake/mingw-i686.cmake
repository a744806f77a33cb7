# Cross-compiles the product for 32-bit Windows.
set(LUMICLIP_MINGW i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR wine)
