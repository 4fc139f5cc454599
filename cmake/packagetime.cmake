# Read by cpack before it packs (CPACK_PROJECT_CONFIG_FILE): every tool it
# runs that would write the time of packing writes the release's instead
# (SOURCE_DATE_EPOCH): CPack's archives, and binutils' strip, which stamps a
# Windows program or DLL anew as it strips it.
if(CPACK_QL7420_RELEASE_TIME AND NOT DEFINED ENV{SOURCE_DATE_EPOCH})
    set(ENV{SOURCE_DATE_EPOCH} ${CPACK_QL7420_RELEASE_TIME})
endif()
