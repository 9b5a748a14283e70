# Cross-compiles for 64-bit Windows with mingw-w64 (the "posix" thread
# model, which C++ threads need). Programs link statically, so that they
# run without the compiler's DLLs beside them, and the tests run under
# Wine. SALVOR_WIN_DEPS_PREFIXES (a list) names the installed prefixes of
# the cross-built libraries (scripts/windowsDeps.sh).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(triple x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${triple}-gcc-posix)
set(CMAKE_CXX_COMPILER ${triple}-g++-posix)
set(CMAKE_RC_COMPILER ${triple}-windres)

# try_compile projects see the prefixes too.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES SALVOR_WIN_DEPS_PREFIXES)
set(CMAKE_FIND_ROOT_PATH /usr/${triple} ${SALVOR_WIN_DEPS_PREFIXES})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT -static)

# Wine runs the tests (and GoogleTest's discovery), in a prefix of the
# build tree's own, through tests/windows/wineTest.sh; its chatter on
# stderr would mix with the tests' output.
set(CMAKE_CROSSCOMPILING_EMULATOR env WINEDEBUG=-all WINEPREFIX=${CMAKE_BINARY_DIR}/wine
    ${CMAKE_CURRENT_LIST_DIR}/../tests/windows/wineTest.sh)
