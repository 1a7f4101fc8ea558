# The warnings every target of ours is built with, spelled once, for the
# project and for the folders that are also built on their own (web/ under
# emscripten, examples/ against an installed trirotor). Link it PRIVATE and
# in the build tree only, so that it never lands in an export set:
#   target_link_libraries(T PRIVATE $<BUILD_INTERFACE:trirotor_warnings>)
if(NOT TARGET trirotor_warnings)
  add_library(trirotor_warnings INTERFACE)
  target_compile_options(trirotor_warnings INTERFACE -Wall -Wextra -Wpedantic)
endif()
