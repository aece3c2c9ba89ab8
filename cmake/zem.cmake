# Helpers shared by every folder's CMakeLists.

# zem_library(NAME SOURCES ... DEPS ...): a static library (an interface
# library while a folder has no sources yet).
function(zem_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  if(ARG_SOURCES)
    add_library(${name} STATIC ${ARG_SOURCES})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    if(ARG_DEPS)
      target_link_libraries(${name} PUBLIC ${ARG_DEPS})
    endif()
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    if(ARG_DEPS)
      target_link_libraries(${name} INTERFACE ${ARG_DEPS})
    endif()
  endif()
endfunction()

# zem_sources(VAR DIR...): the non-test .cc files of the given folders.
function(zem_sources var)
  set(out)
  foreach(dir ${ARGN})
    file(GLOB found CONFIGURE_DEPENDS ${dir}/*.cc)
    list(FILTER found EXCLUDE REGEX "_test\\.cc$")
    list(APPEND out ${found})
  endforeach()
  set(${var} ${out} PARENT_SCOPE)
endfunction()

# zem_test_sources(VAR DIR...): the *_test.cc files of the given folders.
function(zem_test_sources var)
  set(out)
  foreach(dir ${ARGN})
    file(GLOB found CONFIGURE_DEPENDS ${dir}/*_test.cc)
    list(APPEND out ${found})
  endforeach()
  set(${var} ${out} PARENT_SCOPE)
endfunction()

# zem_test(NAME SOURCES ... DEPS ...): one GoogleTest program, one CTest test.
# Under the Windows build CTest runs it through Wine (the cross emulator).
function(zem_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;DEPS;LABELS" ${ARGN})
  if(NOT ARG_SOURCES)
    return()
  endif()
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} gtest_main gtest)
  target_compile_definitions(${name} PRIVATE
    ZEM_BIN_DIR="${ZEM_BIN_DIR}" ZEM_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  add_test(NAME ${name} COMMAND ${name})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set_tests_properties(${name} PROPERTIES TIMEOUT ${ARG_TIMEOUT})
  if(ARG_LABELS)
    set_tests_properties(${name} PROPERTIES LABELS "${ARG_LABELS}")
  endif()
endfunction()

# zem_program(NAME SOURCES ... DEPS ... [WINDOWED]): one of the shipped
# programs. WINDOWED makes a Windows GUI-subsystem program (no console).
function(zem_program name)
  cmake_parse_arguments(ARG "WINDOWED" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS})
  if(WIN32 AND ARG_WINDOWED)
    target_link_options(${name} PRIVATE -mwindows)
  endif()
endfunction()
