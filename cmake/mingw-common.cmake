# Shared by both toolchain files; PENDREG_TRIPLET names the target.
set(CMAKE_C_COMPILER ${PENDREG_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PENDREG_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${PENDREG_TRIPLET}-windres)
# GCC's wrappers, which index the symbols of code compiled for the link (the
# companions' -flto) so that the linker finds them in an archive.
set(CMAKE_AR ${PENDREG_TRIPLET}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${PENDREG_TRIPLET}-gcc-ranlib-posix CACHE FILEPATH "")
set(PENDREG_OBJDUMP ${PENDREG_TRIPLET}-objdump CACHE FILEPATH "")
set(PENDREG_WIDL ${PENDREG_TRIPLET}-widl CACHE FILEPATH "")
set(CMAKE_FIND_ROOT_PATH /usr/${PENDREG_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
