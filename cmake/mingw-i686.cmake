# Cross-builds the 32-bit Windows console program with Debian's MinGW-w64 (posix threads variant).
#   cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DTINDERMOSS_TESTS=OFF
set(TINDERMOSS_MINGW_TRIPLET i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
# SSE2 arithmetic for doubles, as on every 64-bit processor.
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
# Up to 4 GB of address space on 64-bit Windows instead of 2 GB.
set(TINDERMOSS_MINGW_LINK_FLAGS "-Wl,--large-address-aware")
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
