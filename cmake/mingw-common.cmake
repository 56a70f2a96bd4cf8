# The part of the MinGW-w64 toolchain files both architectures share; the
# including file sets CMAKE_SYSTEM_PROCESSOR and LEXIGROVE_MINGW_TRIPLET.
set(CMAKE_C_COMPILER ${LEXIGROVE_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LEXIGROVE_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${LEXIGROVE_MINGW_TRIPLET}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${LEXIGROVE_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# Every Windows program the build runs (tests, the package checks) goes
# through the project's Wine runner, which picks the loader for the build's
# architecture.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)
