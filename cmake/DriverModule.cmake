# add_driver_module(NAME DEF deffile SOURCES ...)
#
# Builds a driver's sources as a host module (.so, loaded with dlopen by the
# PnP manager).  Its only visible symbols are DriverEntry and the exports that
# the driver's .def file lists: the same list the target build links its
# export directory from.
function(add_driver_module NAME)
  cmake_parse_arguments(ARG "" "DEF" "SOURCES;DEFINITIONS" ${ARGN})
  set(exports DriverEntry)
  if(ARG_DEF)
    file(STRINGS ${ARG_DEF} def_lines)
    set(in_exports FALSE)
    foreach(line IN LISTS def_lines)
      string(STRIP "${line}" line)
      if(line MATCHES "^EXPORTS")
        set(in_exports TRUE)
      elseif(in_exports AND line MATCHES "^([A-Za-z_][A-Za-z0-9_]*)")
        list(APPEND exports ${CMAKE_MATCH_1})
      endif()
    endforeach()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ARG_DEF})
  endif()
  list(JOIN exports ";\n    " export_lines)
  set(map ${CMAKE_CURRENT_BINARY_DIR}/${NAME}.map)
  file(WRITE ${map} "{\n  global:\n    ${export_lines};\n  local: *;\n};\n")

  add_library(${NAME} MODULE ${ARG_SOURCES})
  set_target_properties(${NAME} PROPERTIES PREFIX "" CXX_VISIBILITY_PRESET hidden
                        VISIBILITY_INLINES_HIDDEN ON LINK_DEPENDS ${map})
  target_compile_options(${NAME} PRIVATE -fno-exceptions -fno-rtti)
  if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
    target_compile_options(${NAME} PRIVATE -fno-gnu-unique)
  endif()
  target_compile_definitions(${NAME} PRIVATE ${ARG_DEFINITIONS})
  target_link_libraries(${NAME} PRIVATE ntos)
  target_link_options(${NAME} PRIVATE -Wl,--version-script=${map})
  # Every symbol resolved at link time, except in the fuzzing build, whose
  # modules take the sanitizer and coverage runtime from the fuzzer program.
  if(NOT VCP_FUZZ)
    target_link_options(${NAME} PRIVATE -Wl,-z,defs)
  endif()
endfunction()
