# The Debian package: built with dpkg-buildpackage from a copy of the
# sources in a scratch folder, unpacked (never installed) and checked, its
# binary run against a simulated card. Skipped (77) where dpkg-buildpackage
# or debhelper is missing.
add_test(NAME package_deb
  COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/package/check_deb.sh
          ${CMAKE_BINARY_DIR} ${CMAKE_SOURCE_DIR} $<TARGET_FILE:veldran-simbus>
          ${PROJECT_VERSION} ${CMAKE_COMMAND} ${CMAKE_INSTALL_PREFIX})
set_tests_properties(package_deb PROPERTIES
  SKIP_RETURN_CODE 77
  TIMEOUT 600
  LABELS package)
