# x86-layout.cmake - the layout contract of the 32-bit host build.
#
# Included by the root project when it builds for i386.  The target compiler
# (i686-w64-mingw32-g++) compiles probe.cpp against mingw-w64's DDK headers,
# with the target build's flags, once per type list; layout-header.cmake
# turns each result into static_asserts; the check sources compile them
# against platform/include (and the drivers' own headers, as the host build
# sees them).  Any size or offset that differs fails the build, naming it,
# and so does a routine the kernel provides whose calling convention,
# argument bytes or result size differ from mingw-w64's declaration.
find_program(VCP_TARGET_CXX i686-w64-mingw32-g++)
if(NOT VCP_TARGET_CXX)
  message(FATAL_ERROR "host32 checks its layouts with the target compiler: install g++-mingw-w64-i686")
endif()
set(VCP_MINGW_DDK /usr/i686-w64-mingw32/include/ddk CACHE PATH "mingw-w64's DDK headers")

set(layout_dir ${CMAKE_CURRENT_LIST_DIR})
set(layout_out ${CMAKE_BINARY_DIR}/x86-layout)
# The target build's compile flags (cross/CMakeLists.txt).
set(layout_flags -std=c++17 -O2 -ffreestanding -fno-exceptions -fno-rtti -Wno-invalid-offsetof
    -D__INTRINSIC_DEFINED_InterlockedBitTestAndSet -D__INTRINSIC_DEFINED_InterlockedBitTestAndReset
    -I${VCP_MINGW_DDK} -I${CMAKE_SOURCE_DIR}/cross/include -I${CMAKE_SOURCE_DIR}/norva -I${CMAKE_SOURCE_DIR}/tembris)

# probe_layout(NAME LIST [HEADER driver-header] [DEFINITIONS ...])
function(probe_layout NAME LIST)
  cmake_parse_arguments(ARG "" "HEADER" "DEFINITIONS" ${ARGN})
  set(defs -DPROBE_TYPES="${LIST}")
  if(ARG_HEADER)
    list(APPEND defs -DPROBE_INCLUDE="${ARG_HEADER}")
  endif()
  foreach(d IN LISTS ARG_DEFINITIONS)
    list(APPEND defs -D${d})
  endforeach()
  add_custom_command(
    OUTPUT ${layout_out}/${NAME}-layout.h
    COMMAND ${CMAKE_COMMAND} -E make_directory ${layout_out}
    COMMAND ${VCP_TARGET_CXX} ${layout_flags} ${defs} -S -o ${layout_out}/${NAME}.s ${layout_dir}/probe.cpp
    COMMAND ${CMAKE_COMMAND} -DPROBE_ASM=${layout_out}/${NAME}.s -DHEADER=${layout_out}/${NAME}-layout.h
            -DTITLE=${LIST} -P ${layout_dir}/layout-header.cmake
    DEPENDS ${layout_dir}/probe.cpp ${layout_dir}/${LIST} ${layout_dir}/layout-header.cmake
            ${layout_dir}/routine-signature.h
            ${CMAKE_SOURCE_DIR}/norva/norva.h ${CMAKE_SOURCE_DIR}/tembris/tembris.h
            ${CMAKE_SOURCE_DIR}/tembris/usbcvt.h ${CMAKE_SOURCE_DIR}/cross/include/codeplace.h
    COMMENT "x86 layout of ${LIST} from mingw-w64's DDK headers"
    VERBATIM)
endfunction()

probe_layout(ddk ddk-types.def)
probe_layout(routines ddk-routines.def)
probe_layout(norva norva-types.def HEADER norva.h DEFINITIONS NORVA_UNIT="layout" DBG=1)
probe_layout(tembris tembris-types.def HEADER tembris.h)

add_library(x86_layout OBJECT ${layout_dir}/check-ddk.cpp ${layout_dir}/check-drivers.cpp
            ${layout_out}/ddk-layout.h ${layout_out}/routines-layout.h ${layout_out}/norva-layout.h
            ${layout_out}/tembris-layout.h)
target_include_directories(x86_layout PRIVATE ${layout_out} ${layout_dir} ${CMAKE_SOURCE_DIR}/platform/include
                           ${CMAKE_SOURCE_DIR}/norva ${CMAKE_SOURCE_DIR}/tembris)
# norva's extensions derive from CommonExtension: offsetof on them is a
# GCC extension both compilers give the same meaning.
target_compile_options(x86_layout PRIVATE -Wno-invalid-offsetof)
