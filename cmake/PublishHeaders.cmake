# zr_publish_headers(<target>)
# Publishes exactly the target's own headers: each .h of its source list gets a symbolic link at its
# source-root-relative path in ${CMAKE_BINARY_DIR}/include/<target>/, and that folder becomes the
# target's include directory (PUBLIC for libraries, INTERFACE for interface libraries, PRIVATE for
# executables). Includes keep their spelling ("agent/data/hosting/PluginBroker.h"), and a target
# that includes another target's header compiles only if it links that target. The links are made
# at the end of the configure step, so sources added after the call are published too. Generated
# headers (outside the source root) are not linked.
function(zr_publish_headers target)
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    set(scope INTERFACE)
  elseif(type STREQUAL "EXECUTABLE")
    set(scope PRIVATE)
  else()
    set(scope PUBLIC)
  endif()
  target_include_directories(${target} ${scope} $<BUILD_INTERFACE:${CMAKE_BINARY_DIR}/include/${target}>)
  # A deferred call's arguments are expanded when it runs, so the name goes in as text now.
  cmake_language(EVAL CODE "cmake_language(DEFER DIRECTORY [[${PROJECT_SOURCE_DIR}]] CALL zr_link_headers [[${target}]])")
endfunction()

# Makes the links of zr_publish_headers (deferred to the end of the configure step).
function(zr_link_headers target)
  get_target_property(dir ${target} SOURCE_DIR)
  get_target_property(sources ${target} SOURCES)
  set(root ${CMAKE_BINARY_DIR}/include/${target})
  # A fresh folder each configure, so a header taken out of the list is no longer published.
  file(REMOVE_RECURSE ${root})
  file(MAKE_DIRECTORY ${root})
  foreach(source IN LISTS sources)
    if(source MATCHES "\\$<" OR NOT source MATCHES "\\.h$")
      continue()
    endif()
    cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY ${dir} NORMALIZE OUTPUT_VARIABLE header)
    cmake_path(IS_PREFIX PROJECT_SOURCE_DIR ${header} NORMALIZE inside)
    if(NOT inside)
      continue()
    endif()
    if(NOT EXISTS ${header})
      message(FATAL_ERROR "${target}: header ${header} does not exist")
    endif()
    cmake_path(RELATIVE_PATH header BASE_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE relative)
    cmake_path(GET relative PARENT_PATH parent)
    file(MAKE_DIRECTORY ${root}/${parent})
    file(CREATE_LINK ${header} ${root}/${relative} SYMBOLIC)
    set_property(GLOBAL APPEND PROPERTY ZR_PUBLISHED_HEADERS ${header})
  endforeach()
endfunction()

# zr_check_published_headers(<folders...>)
# Warns (at the end of the configure step) about each header under the folders that no target
# publishes: nothing outside its own folder can include it, so it is missing from its target's
# source list.
function(zr_check_published_headers)
  string(REPLACE ";" "]] [[" folders "${ARGN}")
  cmake_language(EVAL CODE "cmake_language(DEFER DIRECTORY [[${PROJECT_SOURCE_DIR}]] CALL zr_check_headers_now [[${folders}]])")
endfunction()

function(zr_check_headers_now)
  get_property(published GLOBAL PROPERTY ZR_PUBLISHED_HEADERS)
  foreach(folder IN LISTS ARGN)
    file(GLOB_RECURSE headers ${PROJECT_SOURCE_DIR}/${folder}/*.h)
    foreach(header IN LISTS headers)
      if(NOT header IN_LIST published)
        message(WARNING "${header} is in no target's source list, so no target publishes it")
      endif()
    endforeach()
  endforeach()
endfunction()
