# trirotor_library_headers(TARGET): TARGET and what links it see TARGET's own
# headers, as "folder/name.h" from the tree's root, and no other file of the
# tree. The headers are those TARGET lists among its sources; each is linked
# into a folder of the build tree that holds only them, which becomes
# TARGET's include folder in place of the whole source tree. A library that
# includes another's header must then link that library, and an internal
# header a library does not list is seen by no one else.
function(trirotor_library_headers target)
  set(root ${PROJECT_BINARY_DIR}/library-headers/${target})
  file(REMOVE_RECURSE ${root})
  get_target_property(sources ${target} SOURCES)
  get_target_property(source_dir ${target} SOURCE_DIR)
  foreach(source IN LISTS sources)
    if(NOT source MATCHES "\\.h$")
      continue()
    endif()
    cmake_path(ABSOLUTE_PATH source BASE_DIRECTORY ${source_dir} NORMALIZE OUTPUT_VARIABLE header)
    cmake_path(RELATIVE_PATH header BASE_DIRECTORY ${PROJECT_SOURCE_DIR} OUTPUT_VARIABLE relative)
    cmake_path(GET relative PARENT_PATH folder)
    file(MAKE_DIRECTORY ${root}/${folder})
    file(CREATE_LINK ${header} ${root}/${relative} SYMBOLIC COPY_ON_ERROR)
  endforeach()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "INTERFACE_LIBRARY")
    target_include_directories(${target} INTERFACE $<BUILD_INTERFACE:${root}>)
  else()
    target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${root}>)
  endif()
endfunction()
