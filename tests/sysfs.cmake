# The Linux card-access layer (pci/) against simulated PCI buses laid out
# by tools/simbus in temporary folders; the VFIO holder over plain files.
add_executable(veldran_sysfs_tests
  ${CMAKE_CURRENT_LIST_DIR}/test_sysfs_formats.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_sysfs_find.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_sysfs_open.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_sysfs_io.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_sysfs_simbus.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_vfio_holder.cpp
  ${CMAKE_CURRENT_LIST_DIR}/test_vfio_window.cpp
)
target_link_libraries(veldran_sysfs_tests PRIVATE veldran_sysfs veldran_simbus veldran_testkit GTest::gtest_main)
target_compile_definitions(veldran_sysfs_tests PRIVATE
  VELDRAN_SIMBUS_EXE="$<TARGET_FILE:veldran-simbus>")
add_dependencies(veldran_sysfs_tests veldran-simbus)
gtest_discover_tests(veldran_sysfs_tests
  DISCOVERY_TIMEOUT 60
  PROPERTIES LABELS sysfs)
