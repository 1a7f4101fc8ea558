# build_page.cmake - builds the page with emscripten, for the browser tests:
#   cmake -DSOURCE=<web dir> -DBUILD=<build dir> -P build_page.cmake
# The engine's JavaScript optimiser finds its packages under /usr/share/nodejs.
set(ENV{NODE_PATH} "/usr/share/nodejs")
if(NOT EXISTS ${BUILD}/CMakeCache.txt)
  execute_process(COMMAND emcmake cmake -S ${SOURCE} -B ${BUILD} -G Ninja -DCMAKE_BUILD_TYPE=Release
                  COMMAND_ERROR_IS_FATAL ANY)
endif()
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD} COMMAND_ERROR_IS_FATAL ANY)
