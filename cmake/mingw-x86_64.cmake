# Cross-builds the 64-bit Windows console program with Debian's MinGW-w64 (posix threads variant).
#   cmake -S . -B build-windows64 -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DTINDERMOSS_TESTS=OFF
set(TINDERMOSS_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw.cmake)
