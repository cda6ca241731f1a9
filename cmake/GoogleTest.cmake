# Natively GoogleTest comes from Debian's package; the Windows build compiles
# the sources that the same package ships, with the cross compiler.
if(CMAKE_CROSSCOMPILING)
  set(UPGRADER_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for the cross build")
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  add_subdirectory(${UPGRADER_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
else()
  find_package(GTest REQUIRED)
endif()
include(GoogleTest)

# Every program the unit and sim tiers run, for the presets that run only
# those tiers.
add_custom_target(fast_tests)

# Registers a GoogleTest program with ctest under the given labels. Natively
# every test case becomes its own ctest entry; under Wine the program runs
# once, since each start of a Windows program costs far more than its tests.
function(upgrader_add_gtest target)
  cmake_parse_arguments(ARG "" "" "LABELS" ${ARGN})
  if("unit" IN_LIST ARG_LABELS OR "sim" IN_LIST ARG_LABELS)
    add_dependencies(fast_tests ${target})
  endif()
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${target} COMMAND ${target} --gtest_color=no)
    set_tests_properties(${target} PROPERTIES LABELS "${ARG_LABELS}")
  else()
    gtest_discover_tests(${target} PROPERTIES LABELS "${ARG_LABELS}" DISCOVERY_TIMEOUT 30)
  endif()
endfunction()
