# Cross-build for 32-bit Windows with mingw-w64. The posix thread variant is
# the one GoogleTest compiles with; the tool itself links no C++ library, so
# the variant makes no difference to it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(PENDREG_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
