# The real program, run against simulated buses.
add_executable(veldran_e2e_tests
  ${CMAKE_CURRENT_LIST_DIR}/test_e2e.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_list.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_list_vfio.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_load_unit.cpp
)
# veldran_sysfs for the VFIO holder's own loop, which stands in for a held card.
target_link_libraries(veldran_e2e_tests PRIVATE veldran_test_support veldran_sysfs GTest::gmock
  GTest::gtest_main)
target_compile_definitions(veldran_e2e_tests PRIVATE VELDRAN_BINARY="$<TARGET_FILE:veldran>"
  VELDRAN_LOAD_COMMAND="${PROJECT_BINARY_DIR}/veldran-load")
add_dependencies(veldran_e2e_tests veldran)
gtest_discover_tests(veldran_e2e_tests DISCOVERY_TIMEOUT 60)

# The bash completion's candidates, against the real program on a
# simulated bus. Skipped (77) where bash-completion is not installed.
add_test(NAME bash_completion
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/completion/check_completion.sh
          ${PROJECT_SOURCE_DIR}/completion/veldran.bash
          $<TARGET_FILE:veldran> $<TARGET_FILE:veldran-simbus>)
set_tests_properties(bash_completion PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 60)
