# Writes the header of the programs' version: the project's version and,
# when the tree is a git checkout, what `git describe` says of it. Run at
# every build; the header is rewritten only when its text changes, so
# that nothing is rebuilt for nothing.
#   -DSOURCE_DIR=<tree> -DVERSION=<x.y.z> -DOUT=<header>
set(build "")
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS "${SOURCE_DIR}/.git")
  execute_process(COMMAND "${GIT_EXECUTABLE}" describe --always --dirty --tags
                  WORKING_DIRECTORY "${SOURCE_DIR}"
                  OUTPUT_VARIABLE build OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE failed ERROR_QUIET)
  if(failed)
    set(build "")
  endif()
endif()
if(build STREQUAL "")
  set(build "${VERSION}")
endif()
set(text "// Made by cmake/salvorVersion.cmake at build time.\n#pragma once\n#define SALVOR_VERSION \"${VERSION}\"\n#define SALVOR_BUILD \"${build}\"\n")
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
else()
  set(old "")
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUT}" "${text}")
endif()
