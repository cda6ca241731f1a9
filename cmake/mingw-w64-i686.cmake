# The shipped Windows build: 32-bit, so that one program runs on 32- and
# 64-bit Windows alike and the structures it hands to the system have their
# 32-bit layout.
set(UPGRADER_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
