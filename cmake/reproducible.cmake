# The Windows programs are the same bytes from the same sources, wherever and
# whenever they are built, so that anyone can check a release against its
# commit. Without this the linker writes the time of the link into the PE
# header (and a DLL's export directory), and the header's checksum with it.
#
# The time stamp written instead is, by the SOURCE_DATE_EPOCH convention:
#   LUMICLIP_SOURCE_DATE_EPOCH if given to CMake (scripts/release does),
#   else the SOURCE_DATE_EPOCH environment variable at configure time,
#   else the committer time of the checkout's HEAD (this project's own git),
#   else none: the stamps are left zero.
# It is settled when CMake configures; a commit made later changes it at the
# next configure (scripts/test configures on every run).
#
# Nothing else of the build's machine reaches the binaries: source and build
# paths are mapped to relative ones for __FILE__ and debug information, and
# this toolchain's ar writes archives without time stamps by default.

set(LUMICLIP_SOURCE_DATE_EPOCH "" CACHE STRING
    "Seconds since 1970 for the PE time stamps (empty: SOURCE_DATE_EPOCH, else the commit's time)")

set(lumiclip_epoch "${LUMICLIP_SOURCE_DATE_EPOCH}")
set(lumiclip_epoch_from "LUMICLIP_SOURCE_DATE_EPOCH")
if(lumiclip_epoch STREQUAL "" AND DEFINED ENV{SOURCE_DATE_EPOCH})
  set(lumiclip_epoch "$ENV{SOURCE_DATE_EPOCH}")
  set(lumiclip_epoch_from "SOURCE_DATE_EPOCH")
endif()
if(lumiclip_epoch STREQUAL "")
  find_program(LUMICLIP_GIT git)
  if(LUMICLIP_GIT)
    # Only this project's own repository counts: an exported tree unpacked
    # inside some other checkout must not take that checkout's commit.
    execute_process(COMMAND ${LUMICLIP_GIT} rev-parse --show-toplevel
                    WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                    OUTPUT_VARIABLE lumiclip_git_top OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE lumiclip_git_status ERROR_QUIET)
    if(lumiclip_git_status EQUAL 0)
      file(REAL_PATH "${lumiclip_git_top}" lumiclip_git_top)
      file(REAL_PATH "${CMAKE_SOURCE_DIR}" lumiclip_source_real)
    endif()
    if(lumiclip_git_status EQUAL 0 AND lumiclip_git_top STREQUAL lumiclip_source_real)
      execute_process(COMMAND ${LUMICLIP_GIT} log -1 --format=%ct
                      WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                      OUTPUT_VARIABLE lumiclip_epoch OUTPUT_STRIP_TRAILING_WHITESPACE
                      RESULT_VARIABLE lumiclip_git_status ERROR_QUIET)
      set(lumiclip_epoch_from "the commit")
      if(NOT lumiclip_git_status EQUAL 0)
        set(lumiclip_epoch "")
      endif()
    endif()
  endif()
endif()
if(NOT lumiclip_epoch MATCHES "^([0-9]+)?$")
  message(FATAL_ERROR "${lumiclip_epoch_from} must be a number of seconds since 1970, not '${lumiclip_epoch}'")
endif()

if(lumiclip_epoch STREQUAL "")
  message(STATUS "PE time stamps: zero (no commit, LUMICLIP_SOURCE_DATE_EPOCH or SOURCE_DATE_EPOCH)")
  add_link_options(-Wl,--no-insert-timestamp)
else()
  message(STATUS "PE time stamps: ${lumiclip_epoch}, from ${lumiclip_epoch_from}")
  # This linker takes the stamp from SOURCE_DATE_EPOCH in its environment;
  # setting it on every link also overrides whatever the shell may hold. A
  # new value changes the link command, so every binary is linked again.
  foreach(lang C CXX)
    set(CMAKE_${lang}_LINKER_LAUNCHER ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${lumiclip_epoch})
  endforeach()
endif()
# Read by scripts/repro-check, which builds the same sources again elsewhere
# with the same stamp.
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/source-date-epoch CONTENT "${lumiclip_epoch}\n")

add_compile_options("$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_SOURCE_DIR}=.>"
                    "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${CMAKE_BINARY_DIR}=build>")
