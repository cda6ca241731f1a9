# Static checks of the Windows build's programs and DLLs: the headers are read
# by cmake/pe-check.py, nothing is run, so they hold on every machine, also
# where the i686 build cannot run under Wine.
#
#   upgrader_add_pe_check(NAME test TARGET target SUBSYSTEM gui|console
#                         [EXPORTS name...] [MANIFEST_CONTAINS text])
#
# The expected machine is the one the tool chain file names (PE32 for x86,
# PE32+ for x86_64), not the compiler's, so that a check also catches a
# compiler for the wrong machine. EXPORTS with no name means none.
# Registered with the label `static`; the mingw-static test preset runs that
# label with UPGRADER_STATIC_CHECK set, under which cmake/wine-env.sh refuses
# to start Wine, so a check that needs Wine cannot hide under this label.
if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86")
  set(UPGRADER_PE_MACHINE i386)
elseif(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  set(UPGRADER_PE_MACHINE amd64)
else()
  message(FATAL_ERROR "no PE machine known for the processor ${CMAKE_SYSTEM_PROCESSOR}")
endif()

function(upgrader_add_pe_check)
  cmake_parse_arguments(ARG "" "NAME;TARGET;SUBSYSTEM;MANIFEST_CONTAINS" "EXPORTS" ${ARGN})
  set(command ${UPGRADER_ROOT}/cmake/pe-check.py $<TARGET_FILE:${ARG_TARGET}> --machine ${UPGRADER_PE_MACHINE}
    --subsystem ${ARG_SUBSYSTEM})
  if(DEFINED ARG_EXPORTS OR "EXPORTS" IN_LIST ARG_KEYWORDS_MISSING_VALUES)
    list(APPEND command --exports ${ARG_EXPORTS})
  endif()
  if(DEFINED ARG_MANIFEST_CONTAINS)
    list(APPEND command --manifest-contains ${ARG_MANIFEST_CONTAINS})
  endif()
  add_test(NAME ${ARG_NAME} COMMAND ${command})
  set_tests_properties(${ARG_NAME} PROPERTIES LABELS static)
endfunction()
