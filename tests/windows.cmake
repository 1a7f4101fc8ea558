# tests/windows.cmake - the test program of a Windows build: the engine's
# tests and Windows' own, run under Wine as one process (each process start
# costs Wine about 0.3 s, a per-case discovery several seconds a case). The
# tool's tests drive it through POSIX terminals and signals; under Windows
# tests/windows/contract.py holds its contract instead.
list(FILTER TRIROTOR_TEST_SOURCES EXCLUDE REGEX "^cli_")
# recover's candidates are held against hashcat, a Linux program.
list(FILTER TRIROTOR_TEST_SOURCES EXCLUDE REGEX "^recover_candidates_test")
# recover's library is the tool's, tested with it where the tool's tests run.
list(FILTER TRIROTOR_TEST_SOURCES EXCLUDE REGEX "^recover_library_test")
add_executable(trirotor_tests ${TRIROTOR_TEST_SOURCES} ${TRIROTOR_WINDOWS_TEST_SOURCES} test_util.cpp)
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
