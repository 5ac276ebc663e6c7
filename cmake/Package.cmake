# Debian packages, one per install component (cmake/Install.cmake):
#   cmake --workflow --preset package
# builds them in build/package from a fresh clone (docs/packaging.md).

# The maintainer field of every package. Debian's tools take the packager
# from DEBFULLNAME and DEBEMAIL; so does the default here.
if(NOT "$ENV{DEBEMAIL}" STREQUAL "" AND NOT "$ENV{DEBFULLNAME}" STREQUAL "")
  set(koa_default_maintainer "$ENV{DEBFULLNAME} <$ENV{DEBEMAIL}>")
else()
  set(koa_default_maintainer
    "The kelvane-operator-approve developers <maintainers@kelvane.invalid>")
endif()
set(KOA_PACKAGE_MAINTAINER "${koa_default_maintainer}" CACHE STRING
  "Maintainer field of the Debian packages: 'Full Name <address>'")
if(NOT KOA_PACKAGE_MAINTAINER MATCHES "^[^<>]+ <[^<>@ ]+@[^<>@ ]+>$")
  message(FATAL_ERROR "KOA_PACKAGE_MAINTAINER must read 'Full Name <address>', not '${KOA_PACKAGE_MAINTAINER}'")
endif()

set(CPACK_PACKAGE_NAME "${PROJECT_NAME}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "The kelvane-operator-approve developers")
set(CPACK_PACKAGE_CONTACT "${KOA_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_INSTALL_DIRECTORY "${PROJECT_NAME}")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")

set(CPACK_GENERATOR "DEB")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KOA_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_SECTION "admin")
# Dependencies are those of the binaries as built here, worked out by
# dpkg-shlibdeps (a static client has none).
find_program(KOA_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(KOA_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

# The first line of each description is the package's summary; the rest is
# kept to Debian's width (CPack indents it for the control file).
set(CPACK_COMPONENTS_ALL client)
set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME "${PROJECT_NAME}")
string(JOIN "\n" CPACK_DEBIAN_CLIENT_DESCRIPTION
  "ask the local approval service whether an operation may go ahead"
  "kelvane-operator-approve describes one privileged operation (title,"
  "detail, action, requester, source and target host, optional digest,"
  "JSON context and timeout) to the local approval service over a"
  "Unix-domain socket, reports the operator's verdict on standard error,"
  "prints the approval token on standard output and exits with a status"
  "that scripts can branch on."
  ""
  "This package holds the client only; an approval service comes from"
  "elsewhere.")
set(CPACK_DEBIAN_CLIENT_PACKAGE_SUGGESTS "bash-completion")
set(CPACK_KOA_CLIENT_PACKAGE "${PROJECT_NAME}")

if(TARGET kelvane-operator-approval-demo)
  list(APPEND CPACK_COMPONENTS_ALL demo)
  set(CPACK_DEBIAN_DEMO_PACKAGE_NAME "kelvane-operator-approval-demo")
  string(JOIN "\n" CPACK_DEBIAN_DEMO_DESCRIPTION
    "demonstration approval service for kelvane-operator-approve"
    "kelvane-operator-approval-demo listens on the approval socket, shows"
    "each request of kelvane-operator-approve and answers with the verdict"
    "that its operator types, or with a fixed one (--auto approve or deny)."
    ""
    "It is meant for trying out and testing the client and services that"
    "talk to it, never for guarding real operations: it can approve"
    "everything.")
  set(CPACK_DEBIAN_DEMO_PACKAGE_RECOMMENDS "${PROJECT_NAME}")
  set(CPACK_DEBIAN_DEMO_PACKAGE_SOURCE "${PROJECT_NAME}")
endif()

if(TARGET kelvane_approval)
  list(APPEND CPACK_COMPONENTS_ALL sudo_plugin)
  set(CPACK_DEBIAN_SUDO_PLUGIN_PACKAGE_NAME "kelvane-operator-approval-sudo")
  string(JOIN "\n" CPACK_DEBIAN_SUDO_PLUGIN_DESCRIPTION
    "sudo approval plugin asking the kelvane operator approval service"
    "kelvane_approval.so is an approval plugin for sudo: before sudo runs a"
    "command, the plugin describes it to the local approval service over its"
    "Unix-domain socket and lets the command run only when the operator"
    "approves it.")
  set(CPACK_DEBIAN_SUDO_PLUGIN_PACKAGE_DEPENDS "sudo")
  set(CPACK_DEBIAN_SUDO_PLUGIN_PACKAGE_SOURCE "${PROJECT_NAME}")
  # Its removal is refused while /etc/sudo.conf names the plugin: sudo
  # refuses to run at all with a plugin it cannot load.
  set(CPACK_DEBIAN_SUDO_PLUGIN_PACKAGE_CONTROL_EXTRA "${PROJECT_SOURCE_DIR}/packaging/sudo/prerm")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

if(TARGET kelvane-operator-approvald)
  list(APPEND CPACK_COMPONENTS_ALL service)
  set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME "kelvane-operator-approval-service")
  string(JOIN "\n" CPACK_DEBIAN_SERVICE_DESCRIPTION
    "approval service for kelvane-operator-approve and sudo"
    "kelvane-operator-approvald holds the requests of kelvane-operator-approve"
    "and of the sudo approval plugin until an operator approves or denies"
    "them with kelvane-operator-approvals, keeps a durable record of every"
    "request, vote and verdict, and enforces who may approve (approvers,"
    "auditors, the two-person rule, no self-approval) and per-user caps."
    ""
    "It runs as root under systemd, started by its sockets, with a narrow"
    "capability bounding set and systemd's sandboxing. Members of the"
    "kelvane-approvers group may reach the operators' socket.")
  # The maintainer scripts use systemd-sysusers (deb-systemd-helper comes
  # with the essential init-system-helpers); the documented backup of the
  # record uses the sqlite3 shell; the programs' own dependencies come from
  # dpkg-shlibdeps.
  set(CPACK_DEBIAN_SERVICE_PACKAGE_DEPENDS
    "systemd | systemd-standalone-sysusers | systemd-sysusers, sqlite3")
  set(CPACK_DEBIAN_SERVICE_PACKAGE_RECOMMENDS "${PROJECT_NAME}")
  set(CPACK_DEBIAN_SERVICE_PACKAGE_SUGGESTS "kelvane-operator-approval-sudo")
  set(CPACK_DEBIAN_SERVICE_PACKAGE_SOURCE "${PROJECT_NAME}")
  set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_EXTRA
    "${PROJECT_SOURCE_DIR}/packaging/service/conffiles"
    "${PROJECT_SOURCE_DIR}/packaging/service/postinst"
    "${PROJECT_SOURCE_DIR}/packaging/service/prerm"
    "${PROJECT_SOURCE_DIR}/packaging/service/postrm")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()

# Finishing touches that CPack does not make (packaging/deb-stage.cmake, run
# on the staged files): binaries stripped as Debian strips them, manual
# pages and changelogs compressed with gzip -9n, every time stamp set to
# SOURCE_DATE_EPOCH. Then (packaging/deb-finish.cmake) the control fields
# CPack cannot write.
set(CPACK_STRIP_FILES OFF)
set(CPACK_PRE_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/packaging/deb-stage.cmake")
set(CPACK_POST_BUILD_SCRIPTS "${PROJECT_SOURCE_DIR}/packaging/deb-finish.cmake")
set(CPACK_PROJECT_CONFIG_FILE "${PROJECT_SOURCE_DIR}/packaging/cpack-project.cmake")
set(CPACK_KOA_SOURCE_DATE_EPOCH "${KOA_SOURCE_DATE_EPOCH}")
find_program(KOA_STRIP NAMES ${CMAKE_STRIP} strip)
set(CPACK_KOA_STRIP "${KOA_STRIP}")

# The static client carries the C and C++ runtime it was linked with; Debian
# names their source packages in Built-Using so that their sources are kept
# as long as this package is.
set(CPACK_KOA_CLIENT_BUILT_USING "")
if(KOA_STATIC_CLIENT)
  find_program(KOA_DPKG_QUERY dpkg-query)
  if(KOA_DPKG_QUERY)
    set(koa_runtime_packages libc6-dev)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
      string(REGEX MATCH "^[0-9]+" koa_gcc_major "${CMAKE_CXX_COMPILER_VERSION}")
      list(APPEND koa_runtime_packages libstdc++-${koa_gcc_major}-dev libgcc-${koa_gcc_major}-dev)
    endif()
    execute_process(
      COMMAND "${KOA_DPKG_QUERY}" -W "-f=\${source:Package} (= \${source:Version})\\n"
        ${koa_runtime_packages}
      OUTPUT_VARIABLE koa_built_using
      RESULT_VARIABLE koa_query_status
      ERROR_QUIET)
    if(koa_query_status EQUAL 0)
      string(STRIP "${koa_built_using}" koa_built_using)
      string(REPLACE "\n" ";" koa_built_using "${koa_built_using}")
      list(REMOVE_DUPLICATES koa_built_using)
      list(SORT koa_built_using)
      list(JOIN koa_built_using ", " CPACK_KOA_CLIENT_BUILT_USING)
    endif()
  endif()
endif()

set(CPACK_SOURCE_GENERATOR "TGZ")
set(CPACK_SOURCE_IGNORE_FILES "/build/" "/\\\\.git/" "/\\\\.cache/")

include(CPack)
