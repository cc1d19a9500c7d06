# The Windows Installer package's custom action, build-windows/pelmar-msi-action.dll
# (custom_action.cpp): not a program of the release's archive, it goes into
# the package's Binary table (scripts/release.sh, packaging/msi/pelmar.wxs).
# x86-64, for the same systems as the tools (5.2 on), importing only
# kernel32.dll, msi.dll and msvcrt.dll; no time stamp, and the PE checksum
# of its bytes, so that two builds give the same package.
add_library(pelmar-msi-action SHARED ${CMAKE_CURRENT_LIST_DIR}/custom_action.cpp ${CMAKE_SOURCE_DIR}/tools/platform/win32_text.cpp)
target_include_directories(pelmar-msi-action PRIVATE ${CMAKE_SOURCE_DIR})
set_target_properties(pelmar-msi-action PROPERTIES PREFIX "" RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
# The tools' Windows definitions and link options (pelmar_windows_program_flags,
# tools/CMakeLists.txt), and a DLL's own: its subsystem version, no time stamp.
target_link_libraries(pelmar-msi-action PRIVATE pelmar_windows_program_flags)
target_link_options(pelmar-msi-action PRIVATE
  -Wl,--major-subsystem-version,5 -Wl,--minor-subsystem-version,2 -Wl,--no-insert-timestamp)
target_link_libraries(pelmar-msi-action PRIVATE msi kernel32)
add_custom_command(TARGET pelmar-msi-action POST_BUILD
  COMMAND "${PELMAR_PYTHON}" "${CMAKE_SOURCE_DIR}/cmake/pe-checksum.py" "$<TARGET_FILE:pelmar-msi-action>"
  VERBATIM)
