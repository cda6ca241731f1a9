# Generates the firmware set again into a fresh folder and compares it with
# the build's, file by file: the same options must give the same bytes.
#   cmake -DPYTHON=... -DGENERATOR=... -DEXPECTED=dir -DSCRATCH=dir "-DOPTIONS=..." -P regenerate.cmake
file(REMOVE_RECURSE ${SCRATCH})
execute_process(COMMAND ${PYTHON} ${GENERATOR} ${SCRATCH} ${OPTIONS} COMMAND_ERROR_IS_FATAL ANY)
file(GLOB files RELATIVE ${EXPECTED} ${EXPECTED}/*)
if(NOT files)
  message(FATAL_ERROR "${EXPECTED} holds no firmware set")
endif()
foreach(name IN LISTS files)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${EXPECTED}/${name} ${SCRATCH}/${name} RESULT_VARIABLE differs)
  if(differs)
    message(FATAL_ERROR "${name} came out different the second time")
  endif()
endforeach()
file(REMOVE_RECURSE ${SCRATCH})
