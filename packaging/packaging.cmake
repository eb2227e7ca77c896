# Install rules and the Debian package of VELDRAN.
#
#   cmake --install build --prefix /usr/local
#   (cd build && cpack -G DEB)        -> veldran_<version>_<arch>.deb
#
# Everything the operator gets belongs to the install component "veldran";
# the package is built from that component alone, so install rules that
# third-party code or helper tools may bring along never end up in it.

include(GNUInstallDirs)

set(VELDRAN_INSTALL_COMPONENT veldran)

install(TARGETS veldran
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  COMPONENT ${VELDRAN_INSTALL_COMPONENT})

install(FILES ${CMAKE_SOURCE_DIR}/docs/veldran.1
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

# ---------------------------------------------------------------- CPack

set(VELDRAN_PACKAGE_MAINTAINER "VELDRAN developers <veldran@example.com>"
  CACHE STRING "Maintainer field of the Debian package")

set(CPACK_PACKAGE_NAME veldran)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "VELDRAN developers")
set(CPACK_PACKAGE_CONTACT "${VELDRAN_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "load FPGA configurations into PLX 9054 based PCI cards")
# Debian wants the long description in lines of under 80 characters.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "veldran loads an FPGA configuration, a .BIT design file or a raw PROM"
  "image, into a Quorvel PCI card (KX-10, KX-20, KX-30, KX-31, KX-40,"
  "KX-50, KX-51) built around the PLX 9054 PCI bridge. It finds the card"
  "among the PCI devices, names the board, streams the configuration"
  "through the card's data window and checks that the FPGA reports DONE."
  ""
  "The card is reached through the kernel's PCI files in sysfs; no vendor"
  "driver is needed. A udev rule lets members of the group veldran"
  "program cards without being root.")
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_CMAKE_PROJECTS
  "${CMAKE_BINARY_DIR};${PROJECT_NAME};${VELDRAN_INSTALL_COMPONENT};/")

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VELDRAN_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "pciutils, udev")
# The architecture is left to CPack, which asks dpkg --print-architecture.

find_program(VELDRAN_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(VELDRAN_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  # Without dpkg-dev, name what the binary links against by hand.
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
endif()

# Maintainer script: create the group the udev rule hands the card's files
# to, then let udev apply the rule to cards already present. It never fails
# the installation: without udev running (a chroot, an image build) the
# rule simply takes effect at the next boot.
set(VELDRAN_POSTINST ${CMAKE_BINARY_DIR}/packaging/debian/postinst)
file(WRITE ${VELDRAN_POSTINST} [=[#!/bin/sh
set -e

if [ "$1" = configure ]; then
    if ! getent group veldran >/dev/null 2>&1; then
        if command -v addgroup >/dev/null 2>&1; then
            addgroup --system veldran >/dev/null ||
                echo "veldran: could not create the group veldran" >&2
        elif command -v groupadd >/dev/null 2>&1; then
            groupadd --system veldran ||
                echo "veldran: could not create the group veldran" >&2
        else
            echo "veldran: no addgroup or groupadd; create the group veldran by hand" >&2
        fi
    fi
    if command -v udevadm >/dev/null 2>&1 && [ -S /run/udev/control ]; then
        udevadm control --reload >/dev/null 2>&1 || true
        udevadm trigger --action=add --subsystem-match=pci \
            --attr-match=vendor=0x10b5 --attr-match=device=0x9054 \
            >/dev/null 2>&1 || true
    fi
fi

exit 0
]=])
file(CHMOD ${VELDRAN_POSTINST}
  PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE
              GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${VELDRAN_POSTINST})

# Debian ships manual pages compressed (gzip -9n, reproducible); the
# staging folder is compressed just before the package is made, so that
# "cmake --install" still lays out the plain page.
set(VELDRAN_COMPRESS_MAN ${CMAKE_BINARY_DIR}/packaging/compress-man.cmake)
file(WRITE ${VELDRAN_COMPRESS_MAN} [=[
file(GLOB_RECURSE pages "${CPACK_TEMPORARY_DIRECTORY}/*/share/man/man[1-9]/*.[1-9]")
foreach(page IN LISTS pages)
  execute_process(COMMAND gzip -9nf "${page}" RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "gzip ${page} failed: ${result}")
  endif()
endforeach()
]=])
set(CPACK_PRE_BUILD_SCRIPTS ${VELDRAN_COMPRESS_MAN})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")

include(CPack)
