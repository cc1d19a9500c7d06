# Cross build for 64-bit Windows with Debian's mingw-w64 toolchain
# (g++-mingw-w64-x86-64). Used by scripts/build-windows.sh:
#   cmake -G Ninja -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake ...
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(PELMAR_MINGW_TRIPLE x86_64-w64-mingw32)
# The win32 thread model: the posix one would bring in winpthreads, which the
# native image has no use for.
find_program(CMAKE_C_COMPILER NAMES ${PELMAR_MINGW_TRIPLE}-gcc-win32 ${PELMAR_MINGW_TRIPLE}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${PELMAR_MINGW_TRIPLE}-g++-win32 ${PELMAR_MINGW_TRIPLE}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${PELMAR_MINGW_TRIPLE}-windres)
set(CMAKE_AR ${PELMAR_MINGW_TRIPLE}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${PELMAR_MINGW_TRIPLE}-ranlib CACHE FILEPATH "")

set(CMAKE_FIND_ROOT_PATH /usr/${PELMAR_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Nothing of the C runtime is linked, so the compiler checks that try to link
# a program with it would only mislead: check by building a static library.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
