# The Windows build (cross-compiled with cmake/mingw-w64.cmake). The
# libraries come from the prefixes scripts/windowsDeps.sh builds, found
# through the toolchain's root path; they get the target names the Linux
# build's pkg-config gives them, so that the modules link them alike.

# Every module has its Windows back end; the programs, the test support
# and the tests are built as on Linux.
set(SALVOR_LIB_MODULES string misc lock log file net config dict user coreDump)
set(SALVOR_BUILD_PROGRAMS ON)

# Windows 7's API at least (slim reader/writer locks, the system's
# preferred random source); the headers then declare it.
add_compile_definitions(_WIN32_WINNT=0x0601 WINVER=0x0601 WIN32_LEAN_AND_MEAN NOMINMAX)
# Format checks follow the C99 dialect the library formats with (mingw's
# C library in its standard mode, which C++ turns on).
add_compile_definitions(STR_PRINTF_FORMAT=gnu_printf)
# Two warnings that the mingw-w64 compiler gives where its Linux twin does
# not, both false here: freeing a placement-new'd object's malloc'ed
# memory, and an attribute of the target's va_list type.
add_compile_options(-Wno-mismatched-new-delete -Wno-ignored-attributes)
# Executables that export their symbols (CMAKE_ENABLE_EXPORTS) export all
# of them, as on Linux, so that backtraces can name their functions.
set(CMAKE_EXE_EXPORTS_CXX_FLAG "-Wl,--export-all-symbols")

find_package(libxml2 CONFIG REQUIRED)  # adds LIBXML_STATIC, which the headers need
add_library(PkgConfig::LIBXML2 INTERFACE IMPORTED)
target_link_libraries(PkgConfig::LIBXML2 INTERFACE LibXml2::LibXml2)

# ICU's common library, as on Linux (icu-uc): the converters. Its static
# libraries carry an "s" before their names on Windows, and its data is a
# library of its own, linked last.
find_path(SALVOR_ICU_INCLUDE unicode/ucnv.h REQUIRED)
foreach(part sicuuc sicudt)
  find_library(SALVOR_ICU_${part} ${part} REQUIRED)
endforeach()
add_library(PkgConfig::ICU INTERFACE IMPORTED)
target_include_directories(PkgConfig::ICU INTERFACE ${SALVOR_ICU_INCLUDE})
target_compile_definitions(PkgConfig::ICU INTERFACE U_STATIC_IMPLEMENTATION)
target_link_libraries(PkgConfig::ICU INTERFACE ${SALVOR_ICU_sicuuc} ${SALVOR_ICU_sicudt})

# libsodium, static (SODIUM_STATIC tells its headers); its random source
# is the system's, in advapi32.
find_path(SALVOR_SODIUM_INCLUDE sodium.h REQUIRED)
find_library(SALVOR_SODIUM_LIB NAMES libsodium.a sodium REQUIRED)
add_library(PkgConfig::SODIUM INTERFACE IMPORTED)
target_include_directories(PkgConfig::SODIUM INTERFACE ${SALVOR_SODIUM_INCLUDE})
target_compile_definitions(PkgConfig::SODIUM INTERFACE SODIUM_STATIC)
target_link_libraries(PkgConfig::SODIUM INTERFACE ${SALVOR_SODIUM_LIB} advapi32)

message(STATUS "Windows build: every module, the collector, the client and their tests")
