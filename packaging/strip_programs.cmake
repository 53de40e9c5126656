# Run by cpack on the staged files before it packs them: strips the programs as dh_strip
# does, dropping the symbols and debug information and the .comment and .note sections in
# which each compiler and C runtime object names its version.
file(GLOB programs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/bin/*")
if(NOT programs)
  message(FATAL_ERROR "strip_programs: no programs under ${CPACK_TEMPORARY_INSTALL_DIRECTORY}")
endif()
foreach(program ${programs})
  execute_process(COMMAND ${CPACK_FOLIOSET_STRIP} --remove-section=.comment --remove-section=.note
                          ${program}
                  COMMAND_ERROR_IS_FATAL ANY)
endforeach()
