# Run by cpack after staging the package: takes out of the (already
# stripped) programs the compiler's version notes, which Debian's own
# packages leave out too.
file(GLOB programs ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/bin/*)
foreach(program IN LISTS programs)
  execute_process(COMMAND ${CPACK_OBJCOPY_EXECUTABLE} --remove-section=.comment --remove-section=.note
                          ${program}
                  RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "objcopy failed on ${program}")
  endif()
endforeach()
