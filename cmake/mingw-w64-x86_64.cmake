# The same sources built for x86_64. It ships nothing: it exists so that the
# Windows tests also run under Wine on machines that run no 32-bit code.
set(UPGRADER_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
