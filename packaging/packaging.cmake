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

# The VFIO rule is opt-in: an example, which udev never reads from here.
install(FILES ${CMAKE_SOURCE_DIR}/udev/61-veldran-vfio.rules
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples
  COMPONENT ${VELDRAN_INSTALL_COMPONENT})

install(FILES ${CMAKE_SOURCE_DIR}/README.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR}
  COMPONENT ${VELDRAN_INSTALL_COMPONENT})

# The folders of the cards' records under /run, which systemd-tmpfiles
# makes at every boot; it reads <prefix>/lib/tmpfiles.d for /usr and
# /usr/local.
install(FILES ${CMAKE_SOURCE_DIR}/systemd/veldran-tmpfiles.conf
  DESTINATION lib/tmpfiles.d
  RENAME veldran.conf
  COMPONENT ${VELDRAN_INSTALL_COMPONENT})

# Where bash-completion looks for a command's completion: <prefix>/share/
# bash-completion/completions (it searches /usr/local/share and /usr/share).
install(FILES ${CMAKE_SOURCE_DIR}/completion/veldran.bash
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
  RENAME veldran
  COMPONENT ${VELDRAN_INSTALL_COMPONENT})

# Loading at boot: the template unit veldran-load@.service and the script it
# runs. Both name full paths, filled in here, so install with the prefix
# given at configure time (CMAKE_INSTALL_PREFIX), not "--install --prefix".
# systemd reads units from /usr/local/lib/systemd/system too, so prefixes
# other than /usr put the unit under <prefix>/lib/systemd/system; for /usr
# it goes where systemd's own pkg-config file says, as a package's must.
# VELDRAN_SYSTEMD_UNIT_DIR overrides both.
set(VELDRAN_LOAD_PATH ${CMAKE_INSTALL_FULL_LIBEXECDIR}/veldran/veldran-load)
set(VELDRAN_PROGRAM_PATH ${CMAKE_INSTALL_FULL_BINDIR}/veldran)
if(NOT VELDRAN_SYSTEMD_UNIT_DIR)
  set(VELDRAN_SYSTEMD_UNIT_DIR lib/systemd/system)
  if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
    find_package(PkgConfig QUIET)
    if(PKG_CONFIG_FOUND)
      pkg_get_variable(systemd_unit_dir systemd systemdsystemunitdir)
      if(systemd_unit_dir)
        set(VELDRAN_SYSTEMD_UNIT_DIR ${systemd_unit_dir})
      endif()
    endif()
  endif()
endif()
configure_file(${CMAKE_SOURCE_DIR}/systemd/veldran-load@.service.in
  ${CMAKE_BINARY_DIR}/veldran-load@.service @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/systemd/veldran-load.in
  ${CMAKE_BINARY_DIR}/veldran-load @ONLY
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                   WORLD_READ WORLD_EXECUTE)
install(FILES ${CMAKE_BINARY_DIR}/veldran-load@.service
  DESTINATION ${VELDRAN_SYSTEMD_UNIT_DIR}
  COMPONENT ${VELDRAN_INSTALL_COMPONENT})
install(PROGRAMS ${CMAKE_BINARY_DIR}/veldran-load
  DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/veldran
  COMPONENT ${VELDRAN_INSTALL_COMPONENT})
