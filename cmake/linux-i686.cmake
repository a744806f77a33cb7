# The host logic as a 32-bit x86 Linux program (g++ -m32, Debian's
# g++-multilib), so that 32-bit size_t and pointers are exercised where the
# Windows product cannot run. Its programs run natively where the kernel runs
# 32-bit code and under qemu-i386 elsewhere (scripts/run32 decides), which
# is why this counts as cross-compiling: CMake then runs them, the tests'
# discovery included, through that emulator.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/run32)
