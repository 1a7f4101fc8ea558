# The engine's sources, one list for every build of it: the native library
# (CMakeLists.txt) and the WebAssembly one (web/CMakeLists.txt). Paths are
# relative to the project's root.
set(TRIROTOR_ENGINE_SOURCES
  engine/base64.cpp
  engine/base64_encode.cpp
  engine/container.cpp
  engine/container_encode.cpp
  engine/encode.cpp
  engine/errors.cpp
  engine/frame.cpp
  engine/inspect.cpp
  engine/key_group.cpp
  engine/key_schedule.cpp
  engine/key_trial.cpp
  engine/keystream.cpp
  engine/keystream_encode.cpp
  engine/outcome.cpp
  engine/pipeline.cpp
  engine/salvage.cpp
  platform/block_copy.cpp
  platform/codepage.cpp
  platform/errors.cpp
  platform/events.cpp
  platform/pointer.cpp
  platform/random.cpp
  platform/unrepresentable.cpp)
# Windows has its own random source, and ready-made hooks for a window.
if(WIN32)
  list(TRANSFORM TRIROTOR_ENGINE_SOURCES REPLACE "^platform/random\\.cpp$" "platform/random_windows.cpp")
  list(APPEND TRIROTOR_ENGINE_SOURCES platform/window_hooks_windows.cpp)
endif()
