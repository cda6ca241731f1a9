# The ZIP for Windows users, made by CPack from the shipped 32-bit build
# (scripts/package-windows.sh): upgrader.exe, README.txt and LICENCE.txt in
# one folder named after the version. The text files get CRLF line ends, so
# that every Notepad shows their lines.

include(${CMAKE_CURRENT_LIST_DIR}/version.cmake)
set(zip_files ${CMAKE_BINARY_DIR}/windows-zip)

configure_file(${UPGRADER_ROOT}/packaging/README-windows.txt ${zip_files}/README.txt @ONLY NEWLINE_STYLE CRLF)

# The licence is the one of the Debian packages (packaging/copyright): its
# copyright line, then the text of its License field (a "." line stands for
# an empty one).
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${UPGRADER_ROOT}/packaging/copyright)
file(STRINGS ${UPGRADER_ROOT}/packaging/copyright copyright_lines)
set(licence "")
set(in_licence OFF)
foreach(line IN LISTS copyright_lines)
  if(line MATCHES "^Copyright: (.+)" AND licence STREQUAL "")
    set(licence "Copyright ${CMAKE_MATCH_1}\n\n")
  elseif(line MATCHES "^License: ")
    set(in_licence ON)
  elseif(in_licence AND line MATCHES "^ (.*)")
    string(REGEX REPLACE "^\\.$" "" text "${CMAKE_MATCH_1}")
    string(APPEND licence "${text}\n")
  else()
    set(in_licence OFF)
  endif()
endforeach()
if(NOT licence MATCHES "\n\n.")
  message(FATAL_ERROR "packaging/copyright: found no Copyright line followed by a License text")
endif()
file(CONFIGURE OUTPUT ${zip_files}/LICENCE.txt CONTENT "${licence}" @ONLY NEWLINE_STYLE CRLF)

# Everything the ZIP holds, built by this one target; cpack itself builds
# nothing. Until the Windows build has its program, the ZIP holds the two
# texts only.
add_custom_target(windows_zip_files)
if(TARGET upgrader)
  add_dependencies(windows_zip_files upgrader)
  install(TARGETS upgrader RUNTIME DESTINATION .)
endif()
install(FILES ${zip_files}/README.txt ${zip_files}/LICENCE.txt DESTINATION .)
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME upgrader)
set(CPACK_PACKAGE_VERSION ${UPGRADER_VERSION})
set(CPACK_PACKAGE_FILE_NAME upgrader-${UPGRADER_VERSION}-windows)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
include(CPack)
