# Install rules of VELDRAN, used by "cmake --install" and by the Debian
# package (debian/, built with dpkg-buildpackage).
#
#   cmake --install build --prefix /usr/local
#
# Everything the operator gets belongs to the install component "veldran",
# so that "--component veldran" installs exactly that.

include(GNUInstallDirs)

set(VELDRAN_INSTALL_COMPONENT veldran)

install(TARGETS veldran
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  COMPONENT ${VELDRAN_INSTALL_COMPONENT})

# The manual page names the version, which the build fills in.
configure_file(${CMAKE_SOURCE_DIR}/docs/veldran.1.in ${CMAKE_BINARY_DIR}/veldran.1 @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/veldran.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
  COMPONENT ${VELDRAN_INSTALL_COMPONENT})

# udev reads rules from <prefix>/lib/udev/rules.d for /usr and /usr/local;
# this is a fixed path, not the (possibly multiarch) library folder.
install(FILES ${CMAKE_SOURCE_DIR}/udev/60-veldran.rules
  DESTINATION lib/udev/rules.d
  COMPONENT ${VELDRAN_INSTALL_COMPONENT})

install(FILES ${CMAKE_SOURCE_DIR}/README.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR}
  COMPONENT ${VELDRAN_INSTALL_COMPONENT})

# Where bash-completion looks for a command's completion: <prefix>/share/
# bash-completion/completions (it searches /usr/local/share and /usr/share).
install(FILES ${CMAKE_SOURCE_DIR}/completion/veldran.bash
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
  RENAME veldran
  COMPONENT ${VELDRAN_INSTALL_COMPONENT})
