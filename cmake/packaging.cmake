# Debian packages of the two Linux programs, made by CPack from the native
# build (scripts/package.sh): `upgrader` for people with a modem, `modemsim`
# for people who test without one. Their files are in packaging/; the
# version and the maintainer come from the first entry of its changelog.

include(GNUInstallDirs)

set(UPGRADER_PACKAGING_SOURCE ${CMAKE_CURRENT_SOURCE_DIR}/packaging)
set(UPGRADER_PACKAGING_BINARY ${CMAKE_CURRENT_BINARY_DIR}/packaging)

include(${CMAKE_CURRENT_LIST_DIR}/version.cmake)
set(CPACK_DEBIAN_PACKAGE_VERSION ${UPGRADER_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${UPGRADER_REVISION})
file(STRINGS ${UPGRADER_PACKAGING_SOURCE}/changelog changelog_signature REGEX "^ -- " LIMIT_COUNT 1)
if(NOT changelog_signature MATCHES "^ -- (.+>)  ")
  message(FATAL_ERROR "packaging/changelog: the first entry has no \" -- NAME <ADDRESS>  DATE\" line")
endif()
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CMAKE_MATCH_1})

# Debian wants manual pages and changelogs compressed with gzip -9n: no name
# or time stamp inside, so that the packages are reproducible. They are made
# while CMake configures, so that cpack finds them after a build of the two
# programs alone.
function(upgrader_gzip source output)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  execute_process(COMMAND gzip -9n --stdout ${source} OUTPUT_FILE ${output} RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip ${source}: ${failed}")
  endif()
endfunction()

file(MAKE_DIRECTORY ${UPGRADER_PACKAGING_BINARY})
upgrader_gzip(${UPGRADER_PACKAGING_SOURCE}/changelog ${UPGRADER_PACKAGING_BINARY}/changelog.Debian.gz)

foreach(program upgrader modemsim)
  install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${program})
  upgrader_gzip(${UPGRADER_PACKAGING_SOURCE}/${program}.1 ${UPGRADER_PACKAGING_BINARY}/${program}.1.gz)
  install(FILES ${UPGRADER_PACKAGING_BINARY}/${program}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT ${program})
  install(FILES ${UPGRADER_PACKAGING_SOURCE}/copyright ${UPGRADER_PACKAGING_BINARY}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${program} COMPONENT ${program})
endforeach()

# udev reads /usr/lib/udev/rules.d on Debian 12, where its own rules are.
install(FILES ${UPGRADER_PACKAGING_SOURCE}/60-upgrader.rules DESTINATION lib/udev/rules.d COMPONENT upgrader)
# The program reads the table at this fixed path, whatever the prefix; a
# table the administrator edited survives upgrades as a conffile.
set(usb_table_dir /etc/upgrader)
install(FILES ${UPGRADER_PACKAGING_SOURCE}/usb-interfaces DESTINATION ${usb_table_dir} COMPONENT upgrader)
file(CONFIGURE OUTPUT ${UPGRADER_PACKAGING_BINARY}/upgrader/conffiles CONTENT "${usb_table_dir}/usb-interfaces\n")

# cpack packages what is built and builds nothing itself: installing must
# not pull in the whole tree (tests, benchmarks) for two programs.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL upgrader modemsim)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE upgrader)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_UPGRADER_PACKAGE_NAME upgrader)
set(CPACK_DEBIAN_UPGRADER_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_UPGRADER_PACKAGE_CONTROL_EXTRA ${UPGRADER_PACKAGING_BINARY}/upgrader/conffiles)
set(CPACK_DEBIAN_UPGRADER_DESCRIPTION "firmware upgrade tool for a USB data-card modem
upgrader writes the firmware it carries into the modem from a terminal:
it backs up the modem's NV items, switches it to its boot downloader,
writes every firmware image, waits for it to return and restores the NV
items.

The package gives the user logged in at the seat access to the modem's
ports through udev, and keeps the modem manager away from them.")

set(CPACK_DEBIAN_MODEMSIM_PACKAGE_NAME modemsim)
set(CPACK_DEBIAN_MODEMSIM_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_MODEMSIM_DESCRIPTION "simulated USB data-card modem for testing upgrader
modemsim serves one simulated modem over pseudo-terminals, for running
upgrader without a device. It logs every request it receives, can switch
on faults, and can dump what its flash holds at the end.")

include(CPack)
