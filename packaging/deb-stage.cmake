# Run by cpack on the staged files of every package, before it packs them
# (CPACK_PRE_BUILD_SCRIPTS): what Debian's own helpers would do.

set(koa_stage "${CPACK_TEMPORARY_DIRECTORY}")
if(NOT IS_DIRECTORY "${koa_stage}")
  message(FATAL_ERROR "deb-stage: no staging folder '${koa_stage}'")
endif()

function(koa_run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "deb-stage: '${ARGN}' failed (${status}): ${err}")
  endif()
endfunction()

file(GLOB_RECURSE koa_files LIST_DIRECTORIES false "${koa_stage}/*")
foreach(f IN LISTS koa_files)
  if(IS_SYMLINK "${f}")
    continue()
  endif()
  # Binaries lose their symbols and the sections that only name the
  # toolchain (.comment, .note), as dh_strip does; shared objects keep
  # the symbols they export.
  file(READ "${f}" magic LIMIT 4 HEX)
  if(magic STREQUAL "7f454c46")
    if(f MATCHES "\\.so(\\.[0-9]+)*$")
      koa_run("${CPACK_KOA_STRIP}" --remove-section=.comment --remove-section=.note
        --strip-unneeded "${f}")
    else()
      koa_run("${CPACK_KOA_STRIP}" --remove-section=.comment --remove-section=.note "${f}")
    endif()
  # Manual pages and changelogs compressed as Debian wants them: best
  # compression, no name and no time stamp inside.
  elseif((f MATCHES "/share/man/[^/]+/[^/]+$" OR f MATCHES "/share/doc/[^/]+/changelog$")
         AND NOT f MATCHES "\\.gz$")
    koa_run(gzip -9nf "${f}")
  endif()
endforeach()

# Every file and folder carries the build's date.
koa_run(find "${koa_stage}" -exec touch -h -d "@${CPACK_KOA_SOURCE_DATE_EPOCH}" {} +)
