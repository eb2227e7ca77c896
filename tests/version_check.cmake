# cmake -DCHANGELOG=debian/changelog -DVERSION=X.Y -P version_check.cmake
file(STRINGS "${CHANGELOG}" entry LIMIT_COUNT 1)
if(NOT entry MATCHES "^veldran \\(([^)]+)\\) " OR NOT CMAKE_MATCH_1 STREQUAL VERSION)
  message(FATAL_ERROR "debian/changelog begins '${entry}', not veldran (${VERSION})")
endif()
