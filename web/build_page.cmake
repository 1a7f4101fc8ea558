# build_page.cmake - builds the page with emscripten, for the browser tests:
#   cmake -DSOURCE=<web dir> -DBUILD=<build dir> -P build_page.cmake
# Nothing from the environment is needed: the build finds Node's packages itself.
unset(ENV{NODE_PATH})
if(NOT EXISTS ${BUILD}/CMakeCache.txt)
  execute_process(COMMAND emcmake cmake -S ${SOURCE} -B ${BUILD} -G Ninja -DCMAKE_BUILD_TYPE=Release
                  COMMAND_ERROR_IS_FATAL ANY)
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD} COMMAND_ERROR_IS_FATAL ANY)
