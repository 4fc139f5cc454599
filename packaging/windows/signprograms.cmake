# Run by cpack (CPACK_PRE_BUILD_SCRIPTS) once the files are staged: signs
# the two programs with Authenticode before they go into the installer or
# the zip.
file(GLOB_RECURSE programs "${CPACK_TEMPORARY_DIRECTORY}/ql7420-fwupdate.exe"
    "${CPACK_TEMPORARY_DIRECTORY}/ql7420-fwupdate-cli.exe")
list(LENGTH programs count)
if(NOT count EQUAL 2)
    message(FATAL_ERROR "Expected the two programs to sign in ${CPACK_TEMPORARY_DIRECTORY}, found: ${programs}")
endif()
foreach(program IN LISTS programs)
    execute_process(COMMAND bash "${CPACK_QL7420_SIGN_SCRIPT}" "${program}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
