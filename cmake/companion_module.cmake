# The companion package's native module tacitor_tools._native: the files in src/companion,
# linked with the same core library as libtacitor.so, exporting PyInit__native and nothing
# else. Included after python_module.cmake, which found Python.

file(GLOB TACITOR_COMPANION_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/src/companion/*.cpp)
add_library(tacitor_tools_native MODULE ${TACITOR_COMPANION_SOURCES})
target_link_libraries(tacitor_tools_native PRIVATE tacitor_core Python::Module)
set(TACITOR_COMPANION_VERSION_SCRIPT ${PROJECT_SOURCE_DIR}/src/companion/native.map)
set_target_properties(tacitor_tools_native PROPERTIES PREFIX "" OUTPUT_NAME "_native"
  SUFFIX ".so" LINK_DEPENDS ${TACITOR_COMPANION_VERSION_SCRIPT})
target_link_options(tacitor_tools_native PRIVATE
  -Wl,--version-script=${TACITOR_COMPANION_VERSION_SCRIPT})

if(CMAKE_CROSSCOMPILING)
  return()
endif()

if(SKBUILD)
  install(FILES $<TARGET_FILE:tacitor_tools_native> DESTINATION tacitor_tools
    RENAME _native${TACITOR_EXT_SUFFIX})
else()
  # Development builds get an importable package beside the tacitor module: the sources of
  # tacitor_tools with this build's _native, so that PYTHONPATH=<build>/python imports both
  # (a package directory there holding only _native would be shadowed by the installed one).
  add_custom_target(tacitor_tools_dev_package ALL
    COMMAND ${CMAKE_COMMAND} -E copy_directory ${PROJECT_SOURCE_DIR}/python/tacitor_tools
            ${CMAKE_BINARY_DIR}/python/tacitor_tools
    COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:tacitor_tools_native>
            ${CMAKE_BINARY_DIR}/python/tacitor_tools/_native${TACITOR_EXT_SUFFIX}
    DEPENDS tacitor_tools_native)
endif()
