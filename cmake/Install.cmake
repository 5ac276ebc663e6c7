# Install layout and Debian packaging.
#
# Included after every target is defined, so that the demo service (which may
# not be built in every configuration) can be tested for with if(TARGET).

include(GNUInstallDirs)

set(KOA_DOC_DIR "${CMAKE_INSTALL_DATADIR}/doc/${PROJECT_NAME}")

install(TARGETS kelvane-operator-approve
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES docs/man/kelvane-operator-approve.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

if(TARGET kelvane-operator-approval-demo)
  install(TARGETS kelvane-operator-approval-demo
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES docs/man/kelvane-operator-approval-demo.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# The places where bash-completion and Debian's zsh look for vendor files.
install(FILES completions/kelvane-operator-approve.bash
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
  RENAME kelvane-operator-approve)
install(FILES completions/_kelvane-operator-approve
  DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions)

install(FILES README.md docs/protocol.md LICENSE
  DESTINATION ${KOA_DOC_DIR})

# --- Debian package: cpack -G DEB from a configured build directory ---------

set(KOA_PACKAGE_MAINTAINER
  "The kelvane-operator-approve developers <maintainers@kelvane.invalid>"
  CACHE STRING "Maintainer field of the Debian package")

set(CPACK_PACKAGE_NAME "${PROJECT_NAME}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "The kelvane-operator-approve developers")
set(CPACK_PACKAGE_CONTACT "${KOA_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
# Kept to lines of Debian's width; CPack indents them for the control file.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "kelvane-operator-approve describes one privileged operation (title,"
  "detail, action, requester, source and target host, optional digest,"
  "JSON context and timeout) to the local approval service over a"
  "Unix-domain socket, reports the operator's verdict on standard error,"
  "prints the approval token on standard output and exits with a status"
  "that scripts can branch on.")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_PACKAGE_INSTALL_DIRECTORY "${PROJECT_NAME}")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KOA_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION "admin")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The package's dependencies are those of the binaries as built here (libc,
# libstdc++, libgcc), worked out by dpkg-shlibdeps; without that tool fall
# back to the libraries every C++ program on Debian needs.
find_program(KOA_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(KOA_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
endif()
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "bash-completion")

set(CPACK_GENERATOR "DEB")
set(CPACK_SOURCE_GENERATOR "TGZ")
set(CPACK_SOURCE_IGNORE_FILES "/build/" "/\\\\.git/" "/\\\\.cache/")

include(CPack)
