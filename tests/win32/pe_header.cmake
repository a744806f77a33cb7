# Checks the PE header of the host exe: the machine, the optional header's
# magic (PE32 or PE32+) and the GUI subsystem (a console one would open a
# window when the browser starts the host).
#   cmake -DEXE=... -DMACHINE=014c -DMAGIC=010b -P pe_header.cmake
file(READ "${EXE}" head LIMIT 4096 HEX)

# count little-endian bytes at offset, as lower-case hex digits
function(le offset count out)
  set(value "")
  math(EXPR last "${count} - 1")
  foreach(i RANGE ${last})
    math(EXPR at "(${offset} + ${i}) * 2")
    string(SUBSTRING "${head}" ${at} 2 byte)
    set(value "${byte}${value}")
  endforeach()
  set(${out} "${value}" PARENT_SCOPE)
endfunction()

string(SUBSTRING "${head}" 0 4 mz)
if(NOT mz STREQUAL "4d5a")
  message(FATAL_ERROR "${EXE}: no MZ header")
endif()
le(60 4 lfanew)
math(EXPR pe "0x${lfanew}")
math(EXPR pe_hex "${pe} * 2")
string(SUBSTRING "${head}" ${pe_hex} 8 signature)
if(NOT signature STREQUAL "50450000")
  message(FATAL_ERROR "${EXE}: no PE signature at ${pe}")
endif()
math(EXPR at "${pe} + 4")
le(${at} 2 machine)
math(EXPR at "${pe} + 24")
le(${at} 2 magic)
math(EXPR at "${pe} + 24 + 68")
le(${at} 2 subsystem)
if(NOT machine STREQUAL "${MACHINE}" OR NOT magic STREQUAL "${MAGIC}" OR NOT subsystem STREQUAL "0002")
  message(FATAL_ERROR "${EXE}: machine ${machine}, optional header magic ${magic}, subsystem ${subsystem}; "
                      "expected ${MACHINE}, ${MAGIC}, 0002 (GUI)")
endif()
message(STATUS "${EXE}: machine ${machine}, magic ${magic}, GUI subsystem")
