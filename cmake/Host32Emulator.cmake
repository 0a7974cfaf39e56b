# Decides how the 32-bit host build's programs run on this machine: natively
# where the kernel executes i386 code, under qemu-i386 (Debian's qemu-user)
# where it does not (a 32-bit program fails there with "Exec format error").
# Sets CMAKE_CROSSCOMPILING_EMULATOR, which ctest, test discovery and custom
# commands put in front of each program of this build.  VCP_HOST32_RUN
# (auto, native or qemu) overrides the choice, to measure the qemu run on a
# machine that would run natively.
set(VCP_HOST32_RUN auto CACHE STRING "How host32 programs run: auto, native or qemu")
set_property(CACHE VCP_HOST32_RUN PROPERTY STRINGS auto native qemu)
if(DEFINED CACHE{CMAKE_CROSSCOMPILING_EMULATOR} AND VCP_HOST32_RUN STREQUAL VCP_HOST32_RUN_DECIDED)
  return()
endif()
set(VCP_HOST32_RUN_DECIDED ${VCP_HOST32_RUN} CACHE INTERNAL "")
set(probe_dir ${CMAKE_BINARY_DIR}/CMakeFiles/host32-probe)
file(WRITE ${probe_dir}/probe.c "int main(void) { return sizeof(void *) == 4 ? 0 : 1; }\n")
try_compile(compiled ${probe_dir}/build ${probe_dir}/probe.c COPY_FILE ${probe_dir}/probe)
if(NOT compiled)
  message(FATAL_ERROR "host32: cannot build a 32-bit program (install g++-multilib)")
endif()
set(native_result "not tried")
if(NOT VCP_HOST32_RUN STREQUAL "qemu")
  execute_process(COMMAND ${probe_dir}/probe RESULT_VARIABLE native_result OUTPUT_QUIET ERROR_QUIET)
endif()
if(native_result STREQUAL "0")
  message(STATUS "host32: this machine runs i386 programs natively")
  set(CMAKE_CROSSCOMPILING_EMULATOR "" CACHE STRING "Runs this build's programs (empty: natively)" FORCE)
elseif(VCP_HOST32_RUN STREQUAL "native")
  message(FATAL_ERROR "host32: this machine does not run i386 programs natively (${native_result})")
else()
  find_program(VCP_QEMU_I386 qemu-i386)
  if(NOT VCP_QEMU_I386)
    message(FATAL_ERROR "host32: this machine does not run i386 programs (${native_result}) and has no "
                        "qemu-i386 (install qemu-user)")
  endif()
  execute_process(COMMAND ${VCP_QEMU_I386} ${probe_dir}/probe RESULT_VARIABLE qemu_result OUTPUT_QUIET ERROR_QUIET)
  if(NOT qemu_result STREQUAL "0")
    message(FATAL_ERROR "host32: qemu-i386 cannot run a 32-bit program either (${qemu_result})")
  endif()
  message(STATUS "host32: i386 programs run under ${VCP_QEMU_I386}")
  set(CMAKE_CROSSCOMPILING_EMULATOR ${VCP_QEMU_I386} CACHE STRING "Runs this build's programs (empty: natively)"
      FORCE)
endif()
