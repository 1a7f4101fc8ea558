# tests/windows.cmake - the test program of a Windows build: the engine's
# tests and Windows' own, run under Wine as one process (each process start
# costs Wine about 0.3 s, a per-case discovery several seconds a case). The
# tool's tests drive it through POSIX terminals and signals; under Windows
# tests/windows/contract.py holds its contract instead.
# Of the tool's tests (cli/tests/), those of its libraries that have a
# Windows side: the archive run's globs and digests (CNG), and the numbers.
set(TRIROTOR_TOOL_TESTS_ON_WINDOWS ${PROJECT_SOURCE_DIR}/cli/tests/archive_parts_test.cpp
    ${PROJECT_SOURCE_DIR}/cli/tests/human_test.cpp)
add_executable(trirotor_tests ${TRIROTOR_TEST_SOURCES} ${TRIROTOR_WINDOWS_TEST_SOURCES} ${TRIROTOR_TOOL_TESTS_ON_WINDOWS}
               test_util.cpp)
target_link_libraries(trirotor_tests PRIVATE trirotor_testing trirotor_support GTest::gtest_main
  nlohmann_json::nlohmann_json)
if(TARGET trirotor_archive_parts)  # the archive run's globs and digests
  target_link_libraries(trirotor_tests PRIVATE trirotor_archive_parts)
endif()
if(TARGET trirotor_records)  # the batch records, with Windows' own UTF-8 check
  target_link_libraries(trirotor_tests PRIVATE trirotor_records)
endif()
if(TARGET trirotor_tool_base)  # the tool's seam and services
  target_link_libraries(trirotor_tests PRIVATE trirotor_tool_base)
endif()
target_link_libraries(trirotor_tests PRIVATE $<BUILD_INTERFACE:trirotor_warnings>)
target_compile_definitions(trirotor_tests PRIVATE
  TRIROTOR_TEST_DATA="${CMAKE_CURRENT_SOURCE_DIR}/data"
  TRIROTOR_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
add_test(NAME trirotor_tests COMMAND trirotor_tests)
set_tests_properties(trirotor_tests PROPERTIES TIMEOUT 600)
