# Shared part of the two MinGW-w64 toolchain files, which set
# UPGRADER_MINGW_TRIPLET and CMAKE_SYSTEM_PROCESSOR first. Posix threads for
# std::thread; linked statically so that the programs run with no MinGW
# runtime beside them.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${UPGRADER_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${UPGRADER_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${UPGRADER_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${UPGRADER_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run.sh)
