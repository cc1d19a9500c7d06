# The release's version: one line MAJOR.MINOR.PATCH in the VERSION file at the
# top of the tree. Sets PELMAR_VERSION (and its three numbers) and writes
# pelmar_version.h into PELMAR_GENERATED_DIR, the one header through which
# every program, host or Windows, learns it (tools/version.h prints it).
file(STRINGS "${CMAKE_SOURCE_DIR}/VERSION" PELMAR_VERSION LIMIT_COUNT 1)
if(NOT PELMAR_VERSION MATCHES "^([0-9]+)\\.([0-9]+)\\.([0-9]+)$")
  message(FATAL_ERROR "VERSION must hold MAJOR.MINOR.PATCH, each a number; it holds '${PELMAR_VERSION}'")
endif()
set(PELMAR_VERSION_MAJOR ${CMAKE_MATCH_1})
set(PELMAR_VERSION_MINOR ${CMAKE_MATCH_2})
set(PELMAR_VERSION_PATCH ${CMAKE_MATCH_3})
# A new version means a new configuration.
set_property(DIRECTORY "${CMAKE_SOURCE_DIR}" APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${CMAKE_SOURCE_DIR}/VERSION")

set(PELMAR_GENERATED_DIR "${CMAKE_BINARY_DIR}/generated")
file(CONFIGURE OUTPUT "${PELMAR_GENERATED_DIR}/pelmar_version.h" CONTENT [[
// Generated from the VERSION file by cmake/pelmar-version.cmake.
#pragma once
#define PELMAR_VERSION "@PELMAR_VERSION@"
#define PELMAR_VERSION_MAJOR @PELMAR_VERSION_MAJOR@
#define PELMAR_VERSION_MINOR @PELMAR_VERSION_MINOR@
#define PELMAR_VERSION_PATCH @PELMAR_VERSION_PATCH@
]] @ONLY)

# Builds that are compared byte for byte (the Windows programs, the package's
# host tools) name their sources relative to the top of the tree, so that no
# folder of the machine that built them reaches a binary (__FILE__, debug
# information).
option(PELMAR_REPRODUCIBLE "Keep the build's folders out of what it makes" OFF)
if(PELMAR_REPRODUCIBLE OR CMAKE_SYSTEM_NAME STREQUAL "Windows")
  add_compile_options("-ffile-prefix-map=${CMAKE_SOURCE_DIR}/=")
  cmake_path(IS_PREFIX CMAKE_SOURCE_DIR "${CMAKE_BINARY_DIR}" PELMAR_BINARY_DIR_INSIDE)
  if(NOT PELMAR_BINARY_DIR_INSIDE)
    add_compile_options("-ffile-prefix-map=${CMAKE_BINARY_DIR}/=")
  endif()
endif()
