# The Debian package: built with dpkg-buildpackage from a copy of the
# sources in a scratch folder, unpacked (never installed) and checked, its
# binary run against a simulated card. Skipped (77) where dpkg-buildpackage
# or debhelper is missing.
if(TARGET veldran-simbus)
  set(VELDRAN_PACKAGE_SIMBUS $<TARGET_FILE:veldran-simbus>)
else()
  message(WARNING "package_deb: no veldran-simbus target; the test will fail")
  set(VELDRAN_PACKAGE_SIMBUS "")
endif()

add_test(NAME package_deb
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/package/check_deb.sh
          ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR} "${VELDRAN_PACKAGE_SIMBUS}"
          ${PROJECT_VERSION} ${CMAKE_COMMAND})
set_tests_properties(package_deb PROPERTIES
  SKIP_RETURN_CODE 77
  TIMEOUT 600
  LABELS package)
