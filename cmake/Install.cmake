# Install layout, in four components that the Debian packages follow:
#   client       the client, its page, completions and documents
#   demo         the demonstration service, its page and documents
#   sudo_plugin  the sudo approval plugin (src/sudo installs the plugin, its
#                page and its guide)
#   service      the approval service: the daemon, the operators' command,
#                their pages, the systemd units and the system settings
# A package that gates privileged operations must not bring an approving
# service along, hence the split.
#
# Included after every target is defined, so that optional targets can be
# tested for with if(TARGET).

include(GNUInstallDirs)
include(cmake/SourceDate.cmake)

set(KOA_DOC_DIR "${CMAKE_INSTALL_DATADIR}/doc/${PROJECT_NAME}")
set(KOA_DEMO_DOC_DIR "${CMAKE_INSTALL_DATADIR}/doc/kelvane-operator-approval-demo")
set(KOA_SUDO_DOC_DIR "${CMAKE_INSTALL_DATADIR}/doc/kelvane-operator-approval-sudo")
set(KOA_SERVICE_DOC_DIR "${CMAKE_INSTALL_DATADIR}/doc/kelvane-operator-approval-service")

# --- manual pages: version, date and documentation folder from the build ----
set(KOA_MAN_DATE "${KOA_SOURCE_DATE}")
string(REPLACE "-" "\\-" KOA_MAN_DOC_DIR "${CMAKE_INSTALL_FULL_DATADIR}/doc/${PROJECT_NAME}")
foreach(page kelvane-operator-approve.1 kelvane-operator-approval-demo.1 kelvane_approval.8
             kelvane-operator-approvald.8)
  configure_file(docs/man/${page} ${PROJECT_BINARY_DIR}/man/${page} @ONLY)
endforeach()

# --- client -------------------------------------------------------------------
install(TARGETS kelvane-operator-approve
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT client)
install(FILES ${PROJECT_BINARY_DIR}/man/kelvane-operator-approve.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT client)

# Completions where each shell looks for files of other packages. bash and
# fish search every data folder (XDG_DATA_DIRS). Debian's zsh searches
# vendor-completions under /usr only and site-functions under /usr/local, so
# the folder follows the prefix given at install time (cmake --install
# --prefix) unless KOA_ZSH_COMPLETION_DIR names one.
set(KOA_ZSH_COMPLETION_DIR "" CACHE STRING
  "Folder for the zsh completion, relative to the prefix (empty: share/zsh/vendor-completions for /usr, share/zsh/site-functions otherwise)")
# The bash, fish and zsh completions of `program`, from completions/.
function(koa_install_completions program component)
  install(FILES completions/${program}.bash
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
    RENAME ${program} COMPONENT ${component})
  install(FILES completions/${program}.fish
    DESTINATION ${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d COMPONENT ${component})
  install(CODE "
    set(koa_zsh_dir [[${KOA_ZSH_COMPLETION_DIR}]])
    if(koa_zsh_dir STREQUAL \"\")
      if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
        set(koa_zsh_dir [[${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions]])
      else()
        set(koa_zsh_dir [[${CMAKE_INSTALL_DATADIR}/zsh/site-functions]])
      endif()
    endif()
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/\${koa_zsh_dir}\" TYPE FILE
      FILES [[${PROJECT_SOURCE_DIR}/completions/_${program}]])
  " COMPONENT ${component})
endfunction()
koa_install_completions(kelvane-operator-approve client)

# --- the operators' command: its page and completions ------------------------
# In the service's package beside the command, in the same folders as the
# client's (the zsh one by the same rule).
if(TARGET kelvane-operator-approvals)
  configure_file(docs/man/kelvane-operator-approvals.1
    ${PROJECT_BINARY_DIR}/man/kelvane-operator-approvals.1 @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/man/kelvane-operator-approvals.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT service)
  koa_install_completions(kelvane-operator-approvals service)
endif()

# Each package's folder under share/doc holds its own copyright (the licence
# in Debian's machine-readable form) and changelog; the README is the one for
# users of the installed program, not this tree's.
install(FILES packaging/README.client.md
  DESTINATION ${KOA_DOC_DIR} RENAME README.md COMPONENT client)
install(FILES docs/protocol.md packaging/copyright packaging/changelog
  DESTINATION ${KOA_DOC_DIR} COMPONENT client)

# The static client's justified lintian override, for the package only.
if(KOA_STATIC_CLIENT)
  install(FILES packaging/lintian/kelvane-operator-approve
    DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
    COMPONENT client EXCLUDE_FROM_ALL)
endif()

# --- demo service -------------------------------------------------------------
if(TARGET kelvane-operator-approval-demo)
  install(TARGETS kelvane-operator-approval-demo
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT demo)
  install(FILES ${PROJECT_BINARY_DIR}/man/kelvane-operator-approval-demo.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT demo)
  install(FILES packaging/README.demo.md
    DESTINATION ${KOA_DEMO_DOC_DIR} RENAME README.md COMPONENT demo)
  install(FILES packaging/copyright packaging/changelog
    DESTINATION ${KOA_DEMO_DOC_DIR} COMPONENT demo)
endif()

# --- sudo plugin: the licence and changelog its package needs --------------
if(TARGET kelvane_approval)
  install(FILES packaging/copyright packaging/changelog
    DESTINATION ${KOA_SUDO_DOC_DIR} COMPONENT sudo_plugin)
endif()

# --- approval service ---------------------------------------------------------
# The daemon is a system program (sbin, section 8); the operators' command is
# for people (bin). The system settings go where Debian's systemd looks for
# packages' files: units in /lib/systemd/system, sysusers.d and tmpfiles.d
# and environment.d under /usr/lib, the configuration and the login shells'
# setting in /etc (conffiles). Under any prefix but /usr (a scratch install,
# a test) every one of them stays inside the prefix.
if(TARGET kelvane-operator-approvald)
  install(TARGETS kelvane-operator-approvald
    RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT service)
  install(FILES ${PROJECT_BINARY_DIR}/man/kelvane-operator-approvald.8
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man8 COMPONENT service)
  if(TARGET kelvane-operator-approvals)
    install(TARGETS kelvane-operator-approvals
      RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT service)
  endif()
  # (The operators' command's page and completions: below, by its own rules.)

  set(koa_svc ${PROJECT_SOURCE_DIR}/packaging/service)
  install(FILES ${koa_svc}/sysusers.conf
    DESTINATION lib/sysusers.d
    RENAME kelvane-operator-approval.conf COMPONENT service)
  install(FILES ${koa_svc}/tmpfiles.conf
    DESTINATION lib/tmpfiles.d RENAME kelvane-operator-approval.conf COMPONENT service)
  install(FILES ${koa_svc}/environment.conf
    DESTINATION lib/environment.d RENAME 60-kelvane-operator-approval.conf COMPONENT service)
  # The service's unit names the daemon and its configuration where this
  # installation puts them (the prefix given to cmake --install), so that
  # the unit, the configuration and the daemon agree under any prefix.
  install(CODE "
    if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
      set(koa_etc /etc)
      set(koa_units /lib/systemd/system)
    else()
      set(koa_etc \"\${CMAKE_INSTALL_PREFIX}/etc\")
      set(koa_units \"\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\")
    endif()
    set(KOA_SBINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_SBINDIR}\")
    set(KOA_CONFIG \"\${koa_etc}/kelvane-operator-approval/service.toml\")
    set(KOA_SERVICE_DOC \"\${CMAKE_INSTALL_PREFIX}/${KOA_SERVICE_DOC_DIR}\")
    # One configured copy per destination: installs into different
    # destinations (the tests run several at once) never share a file.
    string(MD5 koa_destination \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}\")
    set(koa_unit \"${PROJECT_BINARY_DIR}/units/\${koa_destination}/kelvane-operator-approvald.service\")
    configure_file([[${koa_svc}/kelvane-operator-approvald.service]] \"\${koa_unit}\" @ONLY)
    file(INSTALL DESTINATION \"\${koa_units}\" TYPE FILE FILES
      \"\${koa_unit}\"
      [[${koa_svc}/kelvane-operator-approvald.socket]]
      [[${koa_svc}/kelvane-operator-approvald-operators.socket]])
    file(INSTALL DESTINATION \"\${koa_etc}/kelvane-operator-approval\" TYPE FILE
      FILES [[${koa_svc}/service.toml]])
    file(INSTALL DESTINATION \"\${koa_etc}/profile.d\" TYPE FILE
      RENAME kelvane-operator-approval.sh FILES [[${koa_svc}/profile.sh]])
  " COMPONENT service)
  # The fleet's drop-in, shipped off: docs/fleet.md links it into
  # /etc/systemd/system/kelvane-operator-approvald.service.d/ on the hosts
  # whose service reaches PostgreSQL.
  install(FILES ${koa_svc}/fleet-network.conf
    DESTINATION ${CMAKE_INSTALL_DATADIR}/kelvane-operator-approval-service COMPONENT service)

  install(FILES packaging/README.service.md
    DESTINATION ${KOA_SERVICE_DOC_DIR} RENAME README.md COMPONENT service)
  install(FILES docs/service.md docs/tokens.md docs/fleet.md packaging/copyright
    packaging/changelog DESTINATION ${KOA_SERVICE_DOC_DIR} COMPONENT service)
endif()

include(cmake/Package.cmake)
