# Writes OUT (a C++ header) with VERSION and the git revision of SOURCE_DIR,
# "unknown" outside a git checkout; "+" marks uncommitted changes. Run as
# `cmake -P` at build time.
set(revision unknown)
find_package(Git QUIET)
if(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} -C ${SOURCE_DIR} rev-parse --short=12 HEAD
                  OUTPUT_VARIABLE rev OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE rc ERROR_QUIET)
  if(rc EQUAL 0 AND rev)
    set(revision ${rev})
    execute_process(COMMAND ${GIT_EXECUTABLE} -C ${SOURCE_DIR} status --porcelain
                            --untracked-files=no
                    OUTPUT_VARIABLE dirty RESULT_VARIABLE rc ERROR_QUIET)
    if(rc EQUAL 0 AND dirty)
      string(APPEND revision "+")
    endif()
  endif()
endif()
set(content "// Generated at build time; do not edit.\n#pragma once\n#define ZEM_PRODUCT_VERSION \"${VERSION}\"\n#define ZEM_BUILD_REVISION \"${revision}\"\n")
if(EXISTS ${OUT})
  file(READ ${OUT} old)
else()
  set(old "")
endif()
if(NOT old STREQUAL content)
  file(WRITE ${OUT} "${content}")
endif()
