# Cross build for 64-bit Windows with Debian's MinGW-w64 (g++-mingw-w64-x86-64-posix).
#
# The -posix compilers use the POSIX thread model: the win32 one has no
# std::mutex, which GoogleTest needs. Everything the compiler brings along
# (libstdc++, libgcc, winpthread) is linked statically, so the .exe imports
# system DLLs only and runs from a bare folder.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TAVIX_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${TAVIX_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TAVIX_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${TAVIX_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${TAVIX_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# Test programs run under Wine (see tests/windows/wine_run.sh).
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tests/windows/wine_run.sh)
