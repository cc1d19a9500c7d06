# The native Windows image, build-windows/pelmar.exe: the product libraries
# (lib-na, crypto, keying, app) and the ciphers and hashes of LibTomCrypt,
# linked as one native-subsystem x86-64 image whose only import is ntdll.dll.
# Included by the top-level CMakeLists.txt when cross-building for Windows;
# at the end, the tools' Windows programs and the Wine cases' fixtures. The
# host-only parts (ntsim, the tests, the benchmarks) are not built.
#
# PELMAR_TOMCRYPT_SOURCE_DIR: an unpacked LibTomCrypt 1.18.2 source tree
# (scripts/build-windows.sh fetches Debian's source package into
# build-windows/). Only the algorithms the product uses are compiled, with
# no C runtime: what they call beyond themselves (memcpy, memcmp, strlen)
# ntdll exports.

# Nothing links by default: no C runtime and none of the Win32 libraries the
# platform's defaults would add; what is linked is named below.
set(CMAKE_C_STANDARD_LIBRARIES "")
set(CMAKE_CXX_STANDARD_LIBRARIES "")
# An image that exports nothing needs no import library of its own.
set(CMAKE_CXX_LINK_EXECUTABLE "<CMAKE_CXX_COMPILER> <FLAGS> <CMAKE_CXX_LINK_FLAGS> <LINK_FLAGS> <OBJECTS> -o <TARGET> <LINK_LIBRARIES>")

# The programs the release ships: pelmar_windows_program() (version
# resource, no time stamp, PE checksum, listed in release-programs.txt).
include(${CMAKE_SOURCE_DIR}/cmake/pelmar-release.cmake)

# Every function and every object in a section of its own, so that the link
# (--gc-sections, below) leaves out the data nothing in the image refers to.
# Functions stay: the linker keeps all unwind records (.pdata), and they
# refer to every function compiled.
add_compile_options(-ffunction-sections -fdata-sections)

# What the image links from the system: the import libraries of ntdll (its
# native calls, and its C-library-like exports: memcpy, tolower,
# _vsnwprintf...) and libgcc for the stack probe (___chkstk_ms) that every
# frame larger than a page calls; that probe is self-contained code. Every
# library below names them, so they come after all of them on the link line.
add_library(pelmar_native_system INTERFACE)
target_link_libraries(pelmar_native_system INTERFACE ntdll ntdllcrt gcc)

set(PELMAR_TOMCRYPT_SOURCE_DIR "" CACHE PATH "Unpacked LibTomCrypt 1.18.2 source tree")
if(NOT EXISTS "${PELMAR_TOMCRYPT_SOURCE_DIR}/src/headers/tomcrypt.h")
  message(FATAL_ERROR "PELMAR_TOMCRYPT_SOURCE_DIR must name a LibTomCrypt 1.18.2 source tree "
                      "(scripts/build-windows.sh fetches one); got '${PELMAR_TOMCRYPT_SOURCE_DIR}'")
endif()
file(STRINGS "${PELMAR_TOMCRYPT_SOURCE_DIR}/src/headers/tomcrypt.h" PELMAR_TOMCRYPT_VERSION
     REGEX "^#define SCRYPT +\"[0-9.]+\"")
if(NOT PELMAR_TOMCRYPT_VERSION MATCHES "\"1\\.18\\.2\"")
  message(FATAL_ERROR "LibTomCrypt 1.18.2 is required (the run context's layout is pinned to it); "
                      "${PELMAR_TOMCRYPT_SOURCE_DIR} has ${PELMAR_TOMCRYPT_VERSION}")
endif()

# Argument checks return CRYPT_INVALID_ARG instead of printing and aborting
# (there is no C runtime to do either). The option changes no record layout.
set(PELMAR_TOMCRYPT_DEFINITIONS ARGTYPE=4)

set(PELMAR_TOMCRYPT_SOURCES
  src/ciphers/aes/aes.c
  src/ciphers/twofish/twofish.c
  src/ciphers/des.c
  src/ciphers/cast5.c
  src/ciphers/blowfish.c
  src/hashes/rmd160.c
  src/hashes/sha1.c
  src/hashes/whirl/whirl.c
  src/misc/zeromem.c
  src/misc/compare_testvector.c
)
# The ciphers and hashes clear the stack their locals used before they
# return (burn_stack), so no key schedule or hash state of the key work is
# left in dead stack. The option changes no record layout either.
list(APPEND PELMAR_TOMCRYPT_DEFINITIONS LTC_CLEAN_STACK)
list(APPEND PELMAR_TOMCRYPT_SOURCES src/misc/burn_stack.c)

list(TRANSFORM PELMAR_TOMCRYPT_SOURCES PREPEND "${PELMAR_TOMCRYPT_SOURCE_DIR}/")
# DES's initial and final permutations in the dependency's small-code form,
# computed with shifts and masks instead of looked up in two 16 KiB tables:
# the same permutations, 32 KiB less image. Nothing else in des.c and no
# record layout depends on the option.
set_source_files_properties("${PELMAR_TOMCRYPT_SOURCE_DIR}/src/ciphers/des.c"
                            PROPERTIES COMPILE_DEFINITIONS LTC_SMALL_CODE)
add_library(pelmar_tomcrypt STATIC ${PELMAR_TOMCRYPT_SOURCES})
target_compile_definitions(pelmar_tomcrypt PRIVATE LTC_SOURCE PUBLIC ${PELMAR_TOMCRYPT_DEFINITIONS})
target_include_directories(pelmar_tomcrypt SYSTEM PUBLIC "${PELMAR_TOMCRYPT_SOURCE_DIR}/src/headers")
target_link_libraries(pelmar_tomcrypt PUBLIC pelmar_native_system)
# Not our code: its warnings are shown but do not stop the build.
target_compile_options(pelmar_tomcrypt PRIVATE -ffreestanding -Wno-error)

# The product's libraries name LibTomCrypt as PkgConfig::TOMCRYPT, as on the
# host; here that name is the library built above.
add_library(PkgConfig::TOMCRYPT INTERFACE IMPORTED)
target_link_libraries(PkgConfig::TOMCRYPT INTERFACE pelmar_tomcrypt)

# Product code does not assume a hosted C library here either.
list(APPEND PELMAR_PRODUCT_OPTIONS -ffreestanding)
target_link_libraries(pelmar_product_flags INTERFACE pelmar_native_system)

foreach(dir ${PELMAR_PRODUCT_DIRS})
  add_subdirectory(${dir})
endforeach()
foreach(target ${PELMAR_PRODUCT_TARGETS})
  pelmar_product_code(${target})
endforeach()

# pelmar.exe is the product libraries alone; the target needs a source of its
# own, so it gets an empty one.
set(PELMAR_IMAGE_SOURCE ${CMAKE_BINARY_DIR}/pelmar_image.cpp)
file(CONFIGURE OUTPUT ${PELMAR_IMAGE_SOURCE}
     CONTENT "// pelmar.exe: the product libraries linked as a native image.\n")
add_executable(pelmar ${PELMAR_IMAGE_SOURCE})
set_target_properties(pelmar PROPERTIES
  OUTPUT_NAME pelmar
  SUFFIX .exe
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
  LINKER_LANGUAGE CXX)
target_link_options(pelmar PRIVATE
  # No start files and no C runtime: the image starts at lib-na's start-up,
  # which the system calls with the process environment block.
  -nostdlib -nostartfiles
  -Wl,--entry,NaProcessStartup
  -Wl,--subsystem,native
  # The oldest 64-bit system generation (5.2); later ones run it as well.
  -Wl,--major-subsystem-version,5 -Wl,--minor-subsystem-version,2
  -Wl,--major-os-version,5 -Wl,--minor-os-version,2
  -Wl,--file-alignment,0x200 -Wl,--section-alignment,0x1000
  -Wl,--image-base,0x140000000
  -Wl,--dynamicbase -Wl,--nxcompat
  -Wl,-Map,${CMAKE_BINARY_DIR}/pelmar.map
  -Wl,--gc-sections
  -s)
# The build fails unless the image is what a boot-time native program must be
# (cmake/check-native-image.sh: PE32+ x86-64, native, ntdll's names only, no
# constructors or TLS, at most 160 KiB).
add_custom_command(TARGET pelmar POST_BUILD
  COMMAND ${CMAKE_SOURCE_DIR}/cmake/check-native-image.sh $<TARGET_FILE:pelmar> ${CMAKE_BINARY_DIR}/pelmar.map
  VERBATIM)
pelmar_windows_program(pelmar "Pelmar boot-time scratch drive: rekeys, mounts and restores it")
# Start-up (lib-na) calls the application's main, which the application
# defines: the two archives refer to each other.
target_link_libraries(pelmar PRIVATE "$<LINK_GROUP:RESCAN,pelmar_app,pelmar_na>")

# The tools as Windows console programs (not part of pelmar.exe): the same
# list as the host's (tools/CMakeLists.txt).
add_subdirectory(tools)

# The Windows Installer package's custom action (not part of pelmar.exe).
include(packaging/msi/windows.cmake)

# The fixtures of the Wine test bench (scripts/test-windows.sh); not part of pelmar.exe.
add_subdirectory(tests/wine/fixtures)
