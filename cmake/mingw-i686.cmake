# Cross build for 32-bit Windows with MinGW-w64 (posix thread model, so the
# tests may use std::thread; the runtime is linked statically).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(LEXIGROVE_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
