# The date the build stamps on what it makes (the manual pages, the files
# of the packages): SOURCE_DATE_EPOCH when the builder sets it, else the
# time of the last commit, so that two builds of one commit agree; the
# current time only outside a git checkout.
#
# Sets KOA_SOURCE_DATE_EPOCH (seconds) and KOA_SOURCE_DATE (YYYY-MM-DD, UTC).

if(NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  set(KOA_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
else()
  set(KOA_SOURCE_DATE_EPOCH "")
  find_package(Git QUIET)
  if(GIT_FOUND)
    execute_process(
      COMMAND "${GIT_EXECUTABLE}" log -1 --format=%ct
      WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
      OUTPUT_VARIABLE KOA_SOURCE_DATE_EPOCH
      OUTPUT_STRIP_TRAILING_WHITESPACE
      RESULT_VARIABLE koa_git_status
      ERROR_QUIET)
    if(NOT koa_git_status EQUAL 0)
      set(KOA_SOURCE_DATE_EPOCH "")
    endif()
  endif()
  if(KOA_SOURCE_DATE_EPOCH STREQUAL "")
    string(TIMESTAMP KOA_SOURCE_DATE_EPOCH "%s" UTC)
  endif()
endif()
if(NOT KOA_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  message(FATAL_ERROR "SOURCE_DATE_EPOCH must be a number of seconds, not '${KOA_SOURCE_DATE_EPOCH}'")
endif()

# string(TIMESTAMP) formats SOURCE_DATE_EPOCH when it is set, and only then.
set(koa_saved_epoch "$ENV{SOURCE_DATE_EPOCH}")
set(ENV{SOURCE_DATE_EPOCH} "${KOA_SOURCE_DATE_EPOCH}")
string(TIMESTAMP KOA_SOURCE_DATE "%Y-%m-%d" UTC)
if(koa_saved_epoch STREQUAL "")
  unset(ENV{SOURCE_DATE_EPOCH})
else()
  set(ENV{SOURCE_DATE_EPOCH} "${koa_saved_epoch}")
endif()
