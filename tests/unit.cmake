# In-process tests of the program's logic, linked against the scripted
# stand-in of the card-access layer instead of the sysfs one.
add_executable(veldran_unit_tests
  ${CMAKE_CURRENT_LIST_DIR}/fake_plx.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_run.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_open_card.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_control.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_configfile.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_program_card.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_real_bitfiles.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_sha256.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_card_record.cpp
)
target_link_libraries(veldran_unit_tests PRIVATE veldran_test_support GTest::gmock GTest::gtest_main)
target_compile_definitions(veldran_unit_tests PRIVATE
  VELDRAN_BITFILES_DIR="${VELDRAN_BITFILES_DIR}")
gtest_discover_tests(veldran_unit_tests DISCOVERY_TIMEOUT 60)
