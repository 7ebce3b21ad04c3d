# cmake/mingw-w64.cmake -- cross-building kelvane.exe and kelvane-pack.exe for 64-bit Windows on
# Debian with MinGW-w64 in its posix thread model (std::thread and std::mutex on winpthreads).
#
# Everything is linked statically, so that the programs import only DLLs every Windows has;
# tests run through Wine (CMAKE_CROSSCOMPILING_EMULATOR, see scripts/wine-test.sh).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(KELVANE_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${KELVANE_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KELVANE_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KELVANE_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KELVANE_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# FindZLIB takes the import library (libz.dll.a) when it may; only the archive links zlib in.
set(ZLIB_USE_STATIC_LIBS ON)
set(ZLIB_LIBRARY /usr/${KELVANE_MINGW_PREFIX}/lib/libz.a CACHE FILEPATH "zlib, linked statically")

# libgcc, libstdc++ and winpthreads go into every executable instead of beside it as DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../scripts/wine-test.sh)
