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

# All three are shipped in the release, with a version resource each.
pelmar_windows_program(pelmar-mkimage "Pelmar image maker: a raw volume or a mounted drive into an image file")
pelmar_windows_program(pelmar-image "Pelmar image checker: shows, checks and expands an image file")
pelmar_windows_program(pelmar-install "Pelmar installer: puts Pelmar into the boot-time programs and takes it out")

# pelmar-service: the Windows service that puts the scratch drive to work
# after each boot (tools/service_boot.cpp, its Win32 side in
# tools/service_win32.cpp), with the Pelmar event source's message table in
# its resources, compiled by the toolchain's message compiler. pelmar-install
# shares its Win32 side (the records of replaced values, users' hives).
find_program(PELMAR_WINDMC NAMES x86_64-w64-mingw32-windmc windmc REQUIRED)
set(PELMAR_MESSAGES_DIR ${CMAKE_BINARY_DIR}/generated/tools)
add_custom_command(
  OUTPUT ${PELMAR_MESSAGES_DIR}/service_messages.h ${PELMAR_MESSAGES_DIR}/service_messages.rc
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PELMAR_MESSAGES_DIR}
  COMMAND ${PELMAR_WINDMC} -U -h ${PELMAR_MESSAGES_DIR} -r ${PELMAR_MESSAGES_DIR} -b
          ${PELMAR_TOOLS_DIR}/service_messages.mc
  DEPENDS ${PELMAR_TOOLS_DIR}/service_messages.mc VERBATIM)
set(PELMAR_SERVICE_WIN32 ${PELMAR_TOOLS_DIR}/service_boot.cpp ${PELMAR_TOOLS_DIR}/service_win32.cpp
                         ${CMAKE_SOURCE_DIR}/app/command_line_rules.cpp ${PELMAR_TOOLS_DIR}/image_check.cpp
                         ${PELMAR_MESSAGES_DIR}/service_messages.h)
pelmar_windows_tool(pelmar-service ${PELMAR_TOOLS_DIR}/service_main_win32.cpp ${PELMAR_SERVICE_WIN32}
                    ${PELMAR_MESSAGES_DIR}/service_messages.rc ${PELMAR_WINDOWS_PLATFORM})
target_include_directories(pelmar-service PRIVATE ${CMAKE_BINARY_DIR}/generated)
target_link_libraries(pelmar-service PRIVATE advapi32)
pelmar_windows_program(pelmar-service "Pelmar service: checks the scratch drive at each boot and puts it to work")

# pelmar-install installs the service and shares its Win32 side.
target_sources(pelmar-install PRIVATE ${PELMAR_TOOLS_DIR}/install_service.cpp ${PELMAR_TOOLS_DIR}/service_boot.cpp
                                      ${PELMAR_TOOLS_DIR}/service_win32.cpp ${PELMAR_MESSAGES_DIR}/service_messages.h)
target_include_directories(pelmar-install PRIVATE ${CMAKE_BINARY_DIR}/generated)
