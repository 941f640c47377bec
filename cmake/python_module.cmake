# The Python boundary: the files directly in src/, linked with the core into the extension
# module libtacitor.so, which exports PyInit_tacitor and nothing else.

if(CMAKE_CROSSCOMPILING)
  # The host's interpreter says nothing about the target: only the target's headers count.
  find_package(Python 3.12 REQUIRED COMPONENTS Development.Module)
else()
  find_package(Python 3.12 REQUIRED COMPONENTS Interpreter Development.Module)
endif()

file(GLOB TACITOR_BOUNDARY_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/*.cpp)
add_library(tacitor MODULE ${TACITOR_BOUNDARY_SOURCES})
target_link_libraries(tacitor PRIVATE tacitor_core Python::Module)
set(TACITOR_VERSION_SCRIPT ${PROJECT_SOURCE_DIR}/src/tacitor.map)
set_target_properties(tacitor PROPERTIES PREFIX "lib" OUTPUT_NAME "tacitor" SUFFIX ".so"
  LINK_DEPENDS ${TACITOR_VERSION_SCRIPT})
target_link_options(tacitor PRIVATE
  -Wl,--version-script=${TACITOR_VERSION_SCRIPT} -Wl,-soname,libtacitor.so)

if(CMAKE_CROSSCOMPILING)
  # Nothing on the host can import it; the build file is the product.
  return()
endif()

# Python imports the module by its extension suffix; the build file itself is libtacitor.so.
execute_process(
  COMMAND ${Python_EXECUTABLE} -c "import sysconfig; print(sysconfig.get_config_var('EXT_SUFFIX'))"
  OUTPUT_VARIABLE TACITOR_EXT_SUFFIX OUTPUT_STRIP_TRAILING_WHITESPACE)
if(SKBUILD)
  install(FILES $<TARGET_FILE:tacitor> DESTINATION . RENAME tacitor${TACITOR_EXT_SUFFIX})
else()
  # Development builds get an importable copy: PYTHONPATH=<build>/python.
  add_custom_command(TARGET tacitor POST_BUILD
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/python
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:tacitor>
            ${CMAKE_BINARY_DIR}/python/tacitor${TACITOR_EXT_SUFFIX})
endif()
