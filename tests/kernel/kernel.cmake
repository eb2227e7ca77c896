# The real program against a real Linux kernel in a QEMU guest (label
# "kernel"). kernel.qemu builds QEMU with our model of the card, once per
# model and QEMU version (build-qemu.sh keeps it outside the build tree);
# each kernel.* boot then runs a group of cases against the model. Without
# what they need they skip, except on CI. A case that skips shows its whole
# group as skipped.

# The guest and its report, for the tests and the benchmark.
add_library(veldran_kernel_guest STATIC ${CMAKE_CURRENT_LIST_DIR}/kernel_guest.cpp)
target_link_libraries(veldran_kernel_guest PUBLIC veldran_testkit)
target_include_directories(veldran_kernel_guest PUBLIC ${PROJECT_SOURCE_DIR})
target_compile_definitions(veldran_kernel_guest PRIVATE
  VELDRAN_BINARY="$<TARGET_FILE:veldran>"
  VELDRAN_GUEST_INIT="${CMAKE_CURRENT_LIST_DIR}/guest_init.sh"
  VELDRAN_FETCH_KERNEL="${CMAKE_CURRENT_LIST_DIR}/fetch-kernel.sh"
  VELDRAN_BUILD_QEMU="${CMAKE_CURRENT_LIST_DIR}/build-qemu.sh"
  VELDRAN_KERNEL_CACHE="${CMAKE_BINARY_DIR}/kernel-cache"
  VELDRAN_UDEV_RULE="${PROJECT_SOURCE_DIR}/udev/60-veldran.rules"
  VELDRAN_VFIO_RULE="${PROJECT_SOURCE_DIR}/udev/61-veldran-vfio.rules"
  VELDRAN_TMPFILES="${PROJECT_SOURCE_DIR}/systemd/veldran-tmpfiles.conf")
add_dependencies(veldran_kernel_guest veldran)

add_executable(veldran_kernel_tests ${CMAKE_CURRENT_LIST_DIR}/test_kernel.cpp)
target_link_libraries(veldran_kernel_tests PRIVATE veldran_kernel_guest veldran_test_support
  GTest::gtest_main)
target_compile_definitions(veldran_kernel_tests PRIVATE
  VELDRAN_BITFILES_DIR="${VELDRAN_BITFILES_DIR}")

# Not a test: prints the upload rates through sysfs and VFIO in the guest.
# Run: build/tests/veldran-kernel-bench (after ctest -L kernel has built QEMU).
add_executable(veldran-kernel-bench ${CMAKE_CURRENT_LIST_DIR}/kernel_bench.cpp)
target_link_libraries(veldran-kernel-bench PRIVATE veldran_kernel_guest)

# About six minutes on two cores the first time, a moment once cached. Where
# it cannot be built the boots say so and skip; on CI that is a failure.
add_test(NAME kernel.qemu
  COMMAND sh -c "sh \"$0\" >/dev/null && exit 0; [ -z \"\${CI:-}\" ] || exit 1; exit 77"
          ${CMAKE_CURRENT_LIST_DIR}/build-qemu.sh)
set_tests_properties(kernel.qemu PROPERTIES
  LABELS kernel
  TIMEOUT 1800
  SKIP_RETURN_CODE 77
  FIXTURES_SETUP kernel_qemu)

foreach(boot RealKernel LockedDownKernel VfioKernel)
  add_test(NAME kernel.${boot} COMMAND veldran_kernel_tests --gtest_filter=${boot}.*)
  set_tests_properties(kernel.${boot} PROPERTIES
    LABELS kernel
    TIMEOUT 600
    FIXTURES_REQUIRED kernel_qemu
    SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]")
endforeach()
