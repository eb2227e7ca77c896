# The real program against a real Linux kernel in a QEMU guest (label
# "kernel"). Each test boots one guest for a group of cases; without QEMU,
# busybox, cpio or a kernel image they skip, except on CI. A case that skips
# shows its whole group as skipped.
add_executable(veldran_kernel_tests
  ${CMAKE_CURRENT_LIST_DIR}/test_kernel.cpp
  ${CMAKE_CURRENT_LIST_DIR}/kernel_guest.cpp
)
target_link_libraries(veldran_kernel_tests PRIVATE veldran_test_support GTest::gtest_main)
target_compile_definitions(veldran_kernel_tests PRIVATE
  VELDRAN_BINARY="$<TARGET_FILE:veldran>"
  VELDRAN_GUEST_INIT="${CMAKE_CURRENT_LIST_DIR}/guest_init.sh"
  VELDRAN_FETCH_KERNEL="${CMAKE_CURRENT_LIST_DIR}/fetch-kernel.sh"
  VELDRAN_KERNEL_CACHE="${CMAKE_BINARY_DIR}/kernel-cache"
  VELDRAN_UDEV_RULE="${PROJECT_SOURCE_DIR}/udev/60-veldran.rules"
  VELDRAN_BITFILES_DIR="${VELDRAN_BITFILES_DIR}")
add_dependencies(veldran_kernel_tests veldran)

foreach(boot RealKernel LockedDownKernel)
  add_test(NAME kernel.${boot} COMMAND veldran_kernel_tests --gtest_filter=${boot}.*)
  set_tests_properties(kernel.${boot} PROPERTIES
    LABELS kernel
    TIMEOUT 600
    SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
endforeach()
