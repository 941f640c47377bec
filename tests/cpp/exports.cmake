# The extension module must export exactly one symbol, PyInit_tacitor, and carry the SONAME
# libtacitor.so; the companion module tacitor_tools._native exports only PyInit__native.
# Included by tests/cpp/CMakeLists.txt, this file registers the checks; run with
# `cmake -DLIBRARY=<path> [-DSYMBOL=<name> -DSONAME=<name or empty>] -P exports.cmake`, it
# performs one.

if(CMAKE_SCRIPT_MODE_FILE)
  if(NOT DEFINED SYMBOL)
    set(SYMBOL PyInit_tacitor)
  endif()
  if(NOT DEFINED SONAME)
    set(SONAME libtacitor.so)
  endif()
  # The build passes the binutils of the target (NM, READELF); the host's serve otherwise.
  if(NOT NM)
    find_program(NM nm REQUIRED)
  endif()
  if(NOT READELF)
    find_program(READELF readelf REQUIRED)
  endif()
  execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
    OUTPUT_VARIABLE symbols RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "nm failed on ${LIBRARY}")
  endif()
  # Lines are "<address> <kind> <name>"; keep the names.
  string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
  set(names "")
  foreach(line IN LISTS lines)
    string(REGEX REPLACE "^.* " "" name "${line}")
    list(APPEND names "${name}")
  endforeach()
  if(NOT names STREQUAL SYMBOL)
    message(FATAL_ERROR "defined dynamic symbols of ${LIBRARY}: '${names}', "
                        "expected only '${SYMBOL}'")
  endif()
  if(SONAME STREQUAL "")
    message(STATUS "${LIBRARY}: exports only ${SYMBOL}")
    return()
  endif()
  execute_process(COMMAND ${READELF} -d ${LIBRARY}
    OUTPUT_VARIABLE dynamic RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "readelf failed on ${LIBRARY}")
  endif()
  string(REGEX MATCHALL "Library soname: \\[[^]]*\\]" sonames "${dynamic}")
  if(NOT sonames STREQUAL "Library soname: [libtacitor.so]")
    message(FATAL_ERROR "SONAME entries of ${LIBRARY}: '${sonames}', expected libtacitor.so")
  endif()
  message(STATUS "${LIBRARY}: exports only PyInit_tacitor, SONAME libtacitor.so")
  return()
endif()

if(NOT TARGET tacitor)
  return()
endif()
add_test(NAME module_exports_only_its_init
  COMMAND ${CMAKE_COMMAND} -DLIBRARY=$<TARGET_FILE:tacitor> -DNM=${CMAKE_NM}
          -DREADELF=${CMAKE_READELF} -P ${CMAKE_CURRENT_LIST_FILE})
if(TARGET tacitor_tools_native)
  add_test(NAME companion_module_exports_only_its_init
    COMMAND ${CMAKE_COMMAND} -DLIBRARY=$<TARGET_FILE:tacitor_tools_native> -DNM=${CMAKE_NM}
            -DREADELF=${CMAKE_READELF} -DSYMBOL=PyInit__native -DSONAME= -P
            ${CMAKE_CURRENT_LIST_FILE})
endif()
