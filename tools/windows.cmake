# The image tools as Windows console programs: build-windows/pelmar-mkimage.exe
# and build-windows/pelmar-image.exe, from the same sources as the host
# tools, with the Windows platform layer (wide-character names, Win32 files
# and drives, the system's error texts) in the *_win32 and win32_* files.
# Included by cmake/pelmar-windows.cmake; pelmar.exe's own rules there are
# not affected (every setting below is on these targets only).
#
# Each program is x86-64, console subsystem 5.2 (Windows Server 2003 x64 and
# Windows XP x64 on), entered at wmain, with libstdc++, libgcc and the
# mingw-w64 start-up linked in statically: it imports only what those
# systems have (kernel32.dll, and msvcrt.dll, the system's own C library,
# which the mingw-w64 C runtime is built on). scripts/build-windows.sh checks
# the import tables.

# pelmar_windows_tool(NAME SOURCE...): build-windows/NAME.exe.
function(pelmar_windows_tool name)
  add_executable(${name} ${ARGN})
  set_target_properties(${name} PROPERTIES SUFFIX .exe RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_definitions(${name} PRIVATE UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
                                             _WIN32_WINNT=0x0502)
  target_compile_options(${name} PRIVATE -municode)
  target_link_options(${name} PRIVATE
    -municode -static -static-libgcc -static-libstdc++
    -Wl,--subsystem,console:5.2
    -Wl,--major-os-version,5 -Wl,--minor-os-version,2
    -Wl,--dynamicbase -Wl,--nxcompat -Wl,--gc-sections -s)
  # The compiler driver adds the C runtime, kernel32 and the rest of its
  # defaults after these.
  target_link_libraries(${name} PRIVATE kernel32)
endfunction()

set(PELMAR_TOOLS_DIR ${CMAKE_SOURCE_DIR}/tools)
set(PELMAR_WINDOWS_PLATFORM ${PELMAR_TOOLS_DIR}/win32_text.cpp ${PELMAR_TOOLS_DIR}/volume_source_win32.cpp)

pelmar_windows_tool(pelmar-mkimage
  ${PELMAR_TOOLS_DIR}/mkimage.cpp ${PELMAR_TOOLS_DIR}/image_maker.cpp ${PELMAR_TOOLS_DIR}/fat_layout.cpp
  ${PELMAR_TOOLS_DIR}/ntfs_layout.cpp ${PELMAR_TOOLS_DIR}/capture.cpp ${PELMAR_TOOLS_DIR}/capture_win32.cpp
  ${PELMAR_WINDOWS_PLATFORM})

pelmar_windows_tool(pelmar-image ${PELMAR_TOOLS_DIR}/image.cpp ${PELMAR_TOOLS_DIR}/image_check.cpp
                    ${PELMAR_WINDOWS_PLATFORM})

# pelmar-install checks a boot-time line with pelmar.exe's own command-line
# rules (app/command_line_rules.cpp) and an image with pelmar-image's replay,
# and edits the registry (advapi32.dll).
pelmar_windows_tool(pelmar-install ${PELMAR_TOOLS_DIR}/install.cpp ${PELMAR_TOOLS_DIR}/install_boot_execute.cpp
                    ${CMAKE_SOURCE_DIR}/app/command_line_rules.cpp ${PELMAR_TOOLS_DIR}/image_check.cpp
                    ${PELMAR_WINDOWS_PLATFORM})
target_link_libraries(pelmar-install PRIVATE advapi32)

# What install refuses (install_checks.cpp), the rights on the way to the
# files Pelmar trusts (install_rights*.cpp), pelmar.exe's digest and Ctrl+C
# held off (install_guard_win32.cpp), and the boot's key derivation timed
# with keying's own code (install_cost.cpp). Keying and LibTomCrypt's hashes
# are compiled again for this program: the native image's copies link
# ntdll's C functions, this one the C runtime's, so its imports stay
# kernel32, msvcrt and advapi32.
set(PELMAR_KEYING_DIR ${CMAKE_SOURCE_DIR}/keying)
set(PELMAR_INSTALL_KEYING ${PELMAR_KEYING_DIR}/pbkdf2.cpp ${PELMAR_KEYING_DIR}/derivation_paths.cpp
    ${PELMAR_KEYING_DIR}/sha1_extensions.cpp ${PELMAR_KEYING_DIR}/whirlpool_chains.cpp
    ${PELMAR_KEYING_DIR}/hash_sse2.cpp ${PELMAR_KEYING_DIR}/hash_avx2.cpp)
set_source_files_properties(${PELMAR_INSTALL_KEYING} PROPERTIES COMPILE_OPTIONS -fno-strict-aliasing)
set_source_files_properties(${PELMAR_KEYING_DIR}/hash_avx2.cpp PROPERTIES COMPILE_OPTIONS
                            "-fno-strict-aliasing;-mavx2;-Wa,-muse-unaligned-vector-move")
add_library(pelmar_install_hashes STATIC
  ${PELMAR_TOMCRYPT_SOURCE_DIR}/src/hashes/rmd160.c ${PELMAR_TOMCRYPT_SOURCE_DIR}/src/hashes/sha1.c
  ${PELMAR_TOMCRYPT_SOURCE_DIR}/src/hashes/whirl/whirl.c ${PELMAR_TOMCRYPT_SOURCE_DIR}/src/hashes/sha2/sha256.c
  ${PELMAR_TOMCRYPT_SOURCE_DIR}/src/misc/zeromem.c ${PELMAR_TOMCRYPT_SOURCE_DIR}/src/misc/burn_stack.c
  ${PELMAR_TOMCRYPT_SOURCE_DIR}/src/misc/compare_testvector.c)
target_compile_definitions(pelmar_install_hashes PRIVATE LTC_SOURCE PUBLIC ARGTYPE=4 LTC_CLEAN_STACK)
target_include_directories(pelmar_install_hashes SYSTEM PUBLIC "${PELMAR_TOMCRYPT_SOURCE_DIR}/src/headers")
target_compile_options(pelmar_install_hashes PRIVATE -Wno-error)
# The digest of the pelmar.exe built here, which install checks its copy against.
set(PELMAR_DIGEST_SOURCE ${CMAKE_BINARY_DIR}/pelmar_digest.cpp)
add_custom_command(OUTPUT ${PELMAR_DIGEST_SOURCE}
  COMMAND "${PELMAR_PYTHON}" "${CMAKE_SOURCE_DIR}/cmake/pe-digest.py" "$<TARGET_FILE:pelmar>" ${PELMAR_DIGEST_SOURCE}
          kPelmarDigest
  DEPENDS pelmar ${CMAKE_SOURCE_DIR}/cmake/pe-digest.py ${CMAKE_SOURCE_DIR}/cmake/pe-checksum.py VERBATIM)
target_sources(pelmar-install PRIVATE ${PELMAR_TOOLS_DIR}/install_checks.cpp ${PELMAR_TOOLS_DIR}/install_rights.cpp
               ${PELMAR_TOOLS_DIR}/install_rights_win32.cpp ${PELMAR_TOOLS_DIR}/install_guard_win32.cpp
               ${PELMAR_TOOLS_DIR}/install_cost.cpp ${PELMAR_INSTALL_KEYING} ${PELMAR_DIGEST_SOURCE})
target_link_libraries(pelmar-install PRIVATE pelmar_install_hashes)

# All three are shipped in the release, with a version resource each.
pelmar_windows_program(pelmar-mkimage "Pelmar image maker: a raw volume or a mounted drive into an image file")
pelmar_windows_program(pelmar-image "Pelmar image checker: shows, checks and expands an image file")
pelmar_windows_program(pelmar-install "Pelmar installer: puts Pelmar into the boot-time programs and takes it out")
