# Tests of the Python boundary that embed the interpreter: the logging bridge, the exception
# converter and the registration routine run against a real CPython, without NumPy. A cross
# build has no interpreter for the target and leaves them out (TACITOR_EMBEDDED_TESTS).

if(NOT TACITOR_EMBEDDED_TESTS)
  return()
endif()

find_package(Python 3.12 REQUIRED COMPONENTS Interpreter Development.Embed)

set(TACITOR_EMBEDDED_SOURCES
  ${PROJECT_SOURCE_DIR}/src/arguments.cpp
  ${PROJECT_SOURCE_DIR}/src/entry_points.cpp
  ${PROJECT_SOURCE_DIR}/src/exceptions.cpp
  ${PROJECT_SOURCE_DIR}/src/logging_bridge.cpp
  ${PROJECT_SOURCE_DIR}/src/numpy_api.cpp
  ${PROJECT_SOURCE_DIR}/src/registration.cpp
  ${PROJECT_SOURCE_DIR}/src/result_holder.cpp)

# Compiled once for all embedded tests.
add_library(tacitor_boundary_embedded STATIC ${TACITOR_EMBEDDED_SOURCES})
target_link_libraries(tacitor_boundary_embedded PUBLIC tacitor_core Python::Python)

# The glob in CMakeLists.txt made these targets; they also need the boundary and libpython.
foreach(name ${TACITOR_EMBEDDED_TEST_NAMES})
  if(TARGET ${name})
    target_link_libraries(${name} PRIVATE tacitor_boundary_embedded)
  endif()
endforeach()
