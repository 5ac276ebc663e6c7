# Run by cpack on the finished packages (CPACK_POST_BUILD_SCRIPTS): adds the
# control fields that CPack cannot write. The static client names the source
# packages of the runtime it holds in Built-Using; dpkg-deb rebuilds that
# package with the field, its time stamps clamped to SOURCE_DATE_EPOCH.

if(CPACK_KOA_CLIENT_BUILT_USING STREQUAL "")
  return()
endif()

function(koa_run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status
    OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "deb-finish: '${ARGN}' failed (${status}): ${out}${err}")
  endif()
endfunction()

foreach(deb IN LISTS CPACK_PACKAGE_FILES)
  execute_process(COMMAND dpkg-deb --field "${deb}" Package
    OUTPUT_VARIABLE package OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT package STREQUAL CPACK_KOA_CLIENT_PACKAGE)
    continue()
  endif()
  set(tree "${deb}.tree")
  file(REMOVE_RECURSE "${tree}")
  koa_run(dpkg-deb --raw-extract "${deb}" "${tree}")
  file(READ "${tree}/DEBIAN/control" control)
  # Fields in the alphabetical order CPack writes them in.
  string(REPLACE "\nDescription:" "\nBuilt-Using: ${CPACK_KOA_CLIENT_BUILT_USING}\nDescription:"
    control "${control}")
  file(WRITE "${tree}/DEBIAN/control" "${control}")
  koa_run(dpkg-deb --root-owner-group -Zxz --build "${tree}" "${deb}")
  file(REMOVE_RECURSE "${tree}")
endforeach()
