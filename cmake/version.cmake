# The version of every package, Debian's and the Windows ZIP: the first entry
# of packaging/changelog, "upgrader (VERSION-REVISION) ...".
file(STRINGS ${UPGRADER_ROOT}/packaging/changelog changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^upgrader \\(([^()-]+)-([^()-]+)\\) ")
  message(FATAL_ERROR "packaging/changelog: the first line must be \"upgrader (VERSION-REVISION) ...\"")
endif()
set(UPGRADER_VERSION ${CMAKE_MATCH_1})
set(UPGRADER_REVISION ${CMAKE_MATCH_2})
