# The product version and the build's git revision for the programs.
#
# build_info.h is written into the build tree on every build by
# write_build_info.cmake, which rewrites it only when its content changed, so
# a new commit recompiles one file (common/version.cc) and nothing else.
set(ZEM_BUILD_INFO_DIR ${CMAKE_BINARY_DIR}/generated)
set(ZEM_BUILD_INFO_HEADER ${ZEM_BUILD_INFO_DIR}/zem/build_info.h)
add_custom_target(zem_build_info
  COMMAND ${CMAKE_COMMAND}
          -DOUT=${ZEM_BUILD_INFO_HEADER}
          -DVERSION=${PROJECT_VERSION}
          -DSOURCE_DIR=${PROJECT_SOURCE_DIR}
          -P ${PROJECT_SOURCE_DIR}/cmake/write_build_info.cmake
  BYPRODUCTS ${ZEM_BUILD_INFO_HEADER}
  COMMENT "Build revision"
  VERBATIM)
