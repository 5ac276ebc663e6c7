# Read by cpack before it packages anything (CPACK_PROJECT_CONFIG_FILE).

# Every time stamp inside the packages, CPack's own and those of dpkg-deb,
# comes from the date the build was configured with, so that two builds of
# one commit give the same bytes.
set(ENV{SOURCE_DATE_EPOCH} "${CPACK_KOA_SOURCE_DATE_EPOCH}")

# Each component's description is whole, its own summary line first; CPack
# would put the project's summary in front of it.
unset(CPACK_PACKAGE_DESCRIPTION_SUMMARY)
