# Cross build for 64-bit Windows with MinGW-w64: the same sources as the
# 32-bit product, for 64-bit hosts and for running every Windows test under
# 64-bit Wine on machines that execute no 32-bit code.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(LEXIGROVE_MINGW_TRIPLET x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
