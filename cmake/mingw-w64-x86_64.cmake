# mingw-w64-x86_64.cmake - cross-building trirotor for 64-bit Windows with
# Debian's mingw-w64 (posix threads variant, for std::thread), running the
# test programs under Wine:
#
#   cmake -B build-win -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#
# Only the mingw sysroot is searched for libraries and headers: the host's
# /usr/include never reaches this compiler. What header-only libraries the
# tool needs (CLI11, nlohmann-json) come through a folder holding only them,
# made by the project's CMakeLists.txt.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TRIROTOR_MINGW_TRIPLET x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${TRIROTOR_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TRIROTOR_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TRIROTOR_MINGW_TRIPLET}-windres)
set(CMAKE_AR ${TRIROTOR_MINGW_TRIPLET}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${TRIROTOR_MINGW_TRIPLET}-gcc-ranlib-posix CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${TRIROTOR_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest and add_test run the programs through Wine.
find_program(TRIROTOR_WINE NAMES wine REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${TRIROTOR_WINE})

# Every program stands alone: no libgcc, libstdc++ or winpthread DLL has to
# lie beside it. The DLL is linked the same way, so that it needs none either.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static-libgcc -static-libstdc++ -Wl,-Bstatic,--whole-archive -lwinpthread -Wl,--no-whole-archive,-Bdynamic")
