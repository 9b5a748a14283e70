# The event log's message library, salvorEventMessages.dll: a DLL of
# resources only (the message table of salvorEventMessages.mc), which the
# event viewer loads as data to show the lines the log reports. It has no
# code, no entry point and imports nothing. It is built beside salvor.exe,
# where an installation keeps it (the registered source names it in the
# product's installation directory).

# The message compiler of the binutils that give the resource compiler.
string(REPLACE "windres" "windmc" SALVOR_WINDMC "${CMAKE_RC_COMPILER}")
set(evDir ${CMAKE_CURRENT_BINARY_DIR}/eventMessages)
set(evObject ${evDir}/salvorEventMessages.res.obj)
add_custom_command(
  OUTPUT ${evObject}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${evDir}
  # UTF-16 texts, which FormatMessageW returns as they are.
  COMMAND ${SALVOR_WINDMC} -U -h ${evDir} -r ${evDir}
          ${CMAKE_CURRENT_SOURCE_DIR}/salvorEventMessages.mc
  # The script names the table's binary relative to the directory.
  COMMAND ${CMAKE_RC_COMPILER} -O coff -i salvorEventMessages.rc -o ${evObject}
  WORKING_DIRECTORY ${evDir}
  DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/salvorEventMessages.mc
  COMMENT "Compiling the event message table"
  VERBATIM)

add_library(salvorEventMessages MODULE ${evObject})
set_target_properties(salvorEventMessages PROPERTIES
  PREFIX ""
  LINKER_LANGUAGE CXX
  LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/collector)
# No run-time library and no entry point: nothing to run, nothing to import.
target_link_options(salvorEventMessages PRIVATE -nostdlib -s -Wl,-e,0 -Wl,--exclude-all-symbols)
install(TARGETS salvorEventMessages LIBRARY DESTINATION ${CMAKE_INSTALL_SBINDIR})
