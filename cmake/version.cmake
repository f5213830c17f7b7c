# The version the programs print: the project's, and when the source is a git checkout, what
# `git describe` says of it, so that a bug report names its build. Worked out at configure time;
# a new commit or checkout configures again. Outside git the plain version stays.
set(QUILLAMAR_VERSION_TEXT ${PROJECT_VERSION})
find_package(Git QUIET)
if(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} describe --tags --always --dirty
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE described
    OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE described_status ERROR_QUIET)
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --path-format=absolute --git-path logs/HEAD
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE head_log
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(described_status EQUAL 0 AND NOT described STREQUAL "")
    string(APPEND QUILLAMAR_VERSION_TEXT " (git ${described})")
  endif()
  if(EXISTS "${head_log}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${head_log}")
  endif()
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/version.h.in ${CMAKE_BINARY_DIR}/generated/quillamar_version.h
  @ONLY)
add_library(quillamar_version INTERFACE)
target_include_directories(quillamar_version INTERFACE ${CMAKE_BINARY_DIR}/generated)
