# windows.cmake - what a Windows build (cross-built with
# cmake/mingw-w64-x86_64.cmake) takes in place of the host's packages.
#
# The header-only libraries come from a folder of the build tree that holds
# only them, copied from where Debian installs them: never the host's whole
# include folder, whose C library headers are not mingw's.
set(TRIROTOR_WINDOWS_HEADERS ${PROJECT_BINARY_DIR}/windows-headers)
set(TRIROTOR_HOST_INCLUDE /usr/include CACHE PATH "Where the host keeps CLI11's and nlohmann-json's headers")
foreach(dir CLI nlohmann)
  if(NOT EXISTS ${TRIROTOR_HOST_INCLUDE}/${dir})
    message(FATAL_ERROR "windows.cmake: ${TRIROTOR_HOST_INCLUDE}/${dir} is missing (libcli11-dev, nlohmann-json3-dev)")
  endif()
  file(COPY ${TRIROTOR_HOST_INCLUDE}/${dir} DESTINATION ${TRIROTOR_WINDOWS_HEADERS})
endforeach()
add_library(CLI11::CLI11 INTERFACE IMPORTED GLOBAL)
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED GLOBAL)
foreach(target CLI11::CLI11 nlohmann_json::nlohmann_json)
  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${TRIROTOR_WINDOWS_HEADERS})
endforeach()
set(CLI11_FOUND TRUE)
set(nlohmann_json_FOUND TRUE)

# GoogleTest from the sources Debian's googletest package installs.
set(TRIROTOR_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest's sources")
if(TRIROTOR_BUILD_TESTS)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${TRIROTOR_GOOGLETEST_SOURCE} ${PROJECT_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
  if(NOT TARGET GTest::gtest_main)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
endif()

# Windows' headers: no min/max macros, and the wide-character calls.
add_compile_definitions(NOMINMAX WIN32_LEAN_AND_MEAN UNICODE _UNICODE)

# What ships names no folder of the build machine (__FILE__ and the like).
add_compile_options(-ffile-prefix-map=${PROJECT_SOURCE_DIR}/=)
