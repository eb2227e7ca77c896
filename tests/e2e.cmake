# The real program, run against simulated buses.
add_executable(veldran_e2e_tests
  ${CMAKE_CURRENT_LIST_DIR}/test_e2e.cpp
)
target_link_libraries(veldran_e2e_tests PRIVATE veldran_test_support GTest::gmock GTest::gtest_main)
target_compile_definitions(veldran_e2e_tests PRIVATE VELDRAN_BINARY="$<TARGET_FILE:veldran>")
add_dependencies(veldran_e2e_tests veldran)
gtest_discover_tests(veldran_e2e_tests DISCOVERY_TIMEOUT 60)
